// The file operations: what each one opens or reports, and the one open
// policy (an open interrupted by a signal is repeated).
#include "wrapper/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "wrapper/testing/temp_file.h"

namespace wrapper {
namespace {

using testing::TempFile;

void write_file(const std::string& path, const std::string& content) {
  const FdResult fd = create_for_writing(path);
  ASSERT_TRUE(fd.ok());
  ASSERT_EQ(::write(fd.value(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd.value());
}

TEST(FileSystemTest, ReadWholeFileReadsPastItsChunksAndReportsTheOsError) {
  TempFile file;
  std::string content(200'000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + 1);
  write_file(file.path(), content);
  auto read = read_whole_file(file.path());
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value(), content);

  auto missing = read_whole_file(file.path() + ".missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
}

TEST(FileSystemTest, CreateForWritingEmptiesAnExistingFileAndCreatesAMissingOne) {
  TempFile file;
  write_file(file.path(), "old content");
  write_file(file.path(), "new");
  EXPECT_EQ(read_whole_file(file.path()).value(), "new");

  const std::string created = file.path() + ".new";
  const mode_t mask = ::umask(022);
  write_file(created, "");
  ::umask(mask);
  struct stat status;
  ASSERT_EQ(::stat(created.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  ::unlink(created.c_str());

  auto no_directory = create_for_writing(file.path() + ".missing/out");
  ASSERT_FALSE(no_directory.ok());
  EXPECT_EQ(no_directory.error().to_string(), "No such file or directory (os error 2)");
}

TEST(FileSystemTest, RegularFileTestFollowsLinksAndIdentityFindsHardLinks) {
  TempFile file;
  const std::string link = file.path() + ".link";
  const std::string hard = file.path() + ".hard";
  ASSERT_EQ(::symlink(file.path().c_str(), link.c_str()), 0);
  ASSERT_EQ(::link(file.path().c_str(), hard.c_str()), 0);
  EXPECT_TRUE(is_regular_file(file.path()));
  EXPECT_TRUE(is_regular_file(link));
  EXPECT_FALSE(is_regular_file("/tmp"));
  EXPECT_FALSE(is_regular_file(file.path() + ".missing"));
  EXPECT_EQ(file_identity(hard), file_identity(file.path()));
  EXPECT_EQ(file_identity(link), file_identity(file.path()));
  EXPECT_NE(file_identity("/tmp"), file_identity(file.path()));
  EXPECT_EQ(canonical_path(link), canonical_path(file.path()));
  EXPECT_FALSE(canonical_path(file.path() + ".missing/x").has_value());
  ::unlink(link.c_str());
  ::unlink(hard.c_str());
}

void on_alarm(int) {}

// Opening a FIFO for reading blocks until a writer comes; a timer signal
// without SA_RESTART interrupts that open first. The open must be repeated
// and succeed once the writer arrives.
TEST(FileSystemTest, AnInterruptedOpenIsRepeated) {
  TempFile file;
  const std::string fifo = file.path() + ".fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  struct sigaction action {};
  action.sa_handler = on_alarm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the blocked open fails with EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);

  // Only this thread may take the signal.
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
  std::thread writer([&] {
    ::usleep(300'000);
    // Non-blocking, so that it fails at once while no reader waits; tried
    // again until the reader is there, however late a loaded machine makes it.
    for (int attempt = 0; attempt < 3000; ++attempt) {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) {
        ::close(fd);
        return;
      }
      ::usleep(10'000);
    }
  });
  pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);

  itimerval timer{};
  timer.it_value.tv_usec = 50'000;
  ASSERT_EQ(::setitimer(ITIMER_REAL, &timer, nullptr), 0);
  const FdResult fd = open_for_reading(fifo);
  writer.join();
  ::sigaction(SIGALRM, &previous, nullptr);
  ::unlink(fifo.c_str());
  ASSERT_TRUE(fd.ok()) << fd.error().to_string();
  ::close(fd.value());
}

}  // namespace
}  // namespace wrapper
