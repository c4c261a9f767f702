// "--name value" pairs on a measuring program's command line.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kcs::bench {

struct Flag {
  std::string_view name;
  std::variant<unsigned*, std::string*> target;
};

// Fills each named flag's target from argv; false for an unknown name, a name without a value,
// or a number that is not a whole decimal number.
inline bool parseFlags(int argc, char** argv, const std::vector<Flag>& flags) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    const std::string_view name = argv[i];
    const std::string value = argv[i + 1];
    bool known = false;
    for (const Flag& flag : flags) {
      if (flag.name != name) continue;
      known = true;
      if (auto* text = std::get_if<std::string*>(&flag.target)) {
        **text = value;
      } else {
        char* end = nullptr;
        const unsigned long number = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0') return false;
        *std::get<unsigned*>(flag.target) = static_cast<unsigned>(number);
      }
    }
    if (!known) return false;
  }
  return true;
}

}  // namespace kcs::bench
