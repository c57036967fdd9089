// The program's version resource, compiled in from the project version.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plat {

// Size of the program's version information block; 0 when it has none.
size_t GetFileVersionInfoSize();

// Looks up a string value of the version block by its sub-block path
// "\StringFileInfo\<language><code page as 8 hex digits>\<name>". Unknown paths give nothing.
std::optional<std::string> VerQueryValue(std::string_view sub_block);

// The first translation entry of the block (language, code page).
struct Translation {
  unsigned language = 0;
  unsigned code_page = 0;
};
std::optional<Translation> FirstTranslation();

}  // namespace plat
