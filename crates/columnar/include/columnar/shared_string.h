// An immutable string whose copies share one allocation.
//
// A schema read from a message can reach one name or timezone through many
// offsets; holding it as a SharedString stores it once, however often it is
// reached.
//
//   SharedString name = "text";
//   SharedString copy = name;          // no copy of the characters
//   copy.str() == "text"
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <utility>

namespace columnar {

class SharedString {
 public:
  SharedString() = default;
  // Implicit, so that a name can be given as a literal or a std::string.
  SharedString(std::string text)
      : text_(text.empty() ? nullptr : std::make_shared<const std::string>(std::move(text))) {}
  SharedString(const char* text) : SharedString(std::string(text)) {}

  const std::string& str() const { return text_ ? *text_ : no_text(); }

  friend bool operator==(const SharedString& a, const SharedString& b) {
    return a.text_ == b.text_ || a.str() == b.str();
  }

 private:
  static const std::string& no_text() {
    static const std::string none;
    return none;
  }

  std::shared_ptr<const std::string> text_;
};

std::ostream& operator<<(std::ostream& out, const SharedString& text);

}  // namespace columnar
