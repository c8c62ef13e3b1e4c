// One reading of a sync document: the JSON reader driven by the typed handler (handler.cpp).
// Never throws except std::bad_alloc; the message of a failure is complete ("... at line L
// column C"), positions taken from `original`.
#pragma once

#include <cstddef>
#include <string_view>

#include "engine/sync.hpp"

namespace korvane::sync_detail {

// Reads `reader_bytes`, which equals `original` except for rewritten numbers; the handler judges
// every value by its text in `original`. When `too_big_at` is given and the reader refused a number
// by its own range limits, sets it to that number's offset and returns an empty message.
Result<BanditSync> read_with_handler(std::string_view reader_bytes, std::string_view original,
                                     std::size_t* too_big_at);

}  // namespace korvane::sync_detail
