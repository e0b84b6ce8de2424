#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <malloc.h>

#include "wrapper/lib.h"

namespace {

// A closed standard descriptor would be taken by the next file we open, and
// output meant for it would land there; a vanished reader of the output, or
// a file-size limit reached, must surface as a write error, not kill the
// process without an error line.
void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free descriptor is `fd`: the ones below it are open by now.
      if (open("/dev/null", O_RDWR) == -1) break;
    }
  }
  // signal() fails only for an invalid signal number.
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);
  // Every batch allocates buffers of the same few sizes; keeping them in the
  // heap instead of mapping and unmapping them spares the page faults of
  // fresh memory on every batch. Peak memory stays that of one batch. (Batch
  // buffers of 1 MiB and more are mapped and kept by columnar's MutableBuffer
  // itself, since mallopt caps the mmap threshold at 32 MiB.)
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
}

}  // namespace

int main() {
  prepare_process();
  static constexpr wrapper::PluginDescription description{"tessolvane_binary", TESSOLVANE_VERSION};
  wrapper::run_plugin(description);
}
