// Compact JSON text for the lines the runtime prints (error line,
// capabilities). Escaping: \" \\ \b \t \n \f \r, \u00xx (lowercase) for the
// other bytes below 0x20, every other byte unchanged.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wrapper {

void append_json_string(std::string& out, std::string_view text);
// ["a","b"] with each string escaped as above.
void append_json_string_array(std::string& out, const std::vector<std::string>& items);

}  // namespace wrapper
