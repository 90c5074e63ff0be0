// Reading the STANDIN_* settings' text: shared by the files that parse
// settings, so that every setting trims and reads numbers the same way
// (and quotes its bad values with Quoted, in standin_internal.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "standin_internal.h"

namespace standin {

// `text` without the spaces and tabs around it.
std::string_view trim(std::string_view text);
// Whole of `text` as a finite double.
bool parse_number(std::string_view text, double &value);
// Whole of `text` as a 64-bit integer.
bool parse_integer(std::string_view text, std::int64_t &value);
// The variable's value; nullptr when unset, blank, or refused as too long.
const char *read_env(const char *variable);

// Calls `take(item)` for each comma-separated item of `list`, trimmed;
// empty items are skipped.
template <typename Take>
void for_each_item(std::string_view list, Take take) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    std::string_view item = trim(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (!item.empty()) take(item);
  }
}

}  // namespace standin
