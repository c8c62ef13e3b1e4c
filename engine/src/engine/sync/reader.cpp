// The reader's public functions (engine/sync.hpp): parse_bandit_sync, one reading of the document
// and a second one when the JSON reader refused a number by its own limits that is a double all
// the same; the document's default mode; the judgement of the `cholesky` value's shape.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/sync.hpp"
#include "engine/sync/handler.hpp"
#include "engine/sync/numbers.hpp"
#include "engine/sync/shape.hpp"

namespace korvane {
namespace {

// The reader refuses some numbers that are doubles (0e400, or huge digit strings brought back
// by their exponent) before the handler sees them. For a second reading, every complete number
// becomes "0" padded with spaces, so the reader passes it on and the handler judges the original.
std::string rewrite_numbers(std::string_view bytes) {
  std::string out(bytes);
  bool in_string = false;
  for (std::size_t i = 0; i < bytes.size();) {
    const char c = bytes[i];
    if (in_string) {
      if (c == '\\') {
        i += 2;
        continue;
      }
      in_string = c != '"';
      ++i;
    } else if (c == '"') {
      in_string = true;
      ++i;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      const sync_detail::NumberRead number = sync_detail::read_number(bytes, i);
      if (number.complete && number.end - i > 1) {
        out[i] = '0';
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                  out.begin() + static_cast<std::ptrdiff_t>(number.end), ' ');
      }
      i = std::max(number.end, i + 1);
    } else {
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string default_optimization_mode() {
  return "base";
}

Result<BanditSync> parse_bandit_sync(std::string_view text) {
  std::size_t too_big_at = text.size();
  Result<BanditSync> first = sync_detail::read_with_handler(text, text, &too_big_at);
  if (first || too_big_at == text.size()) return first;
  return sync_detail::read_with_handler(rewrite_numbers(text), text, nullptr);
}

namespace sync_detail {

Result<std::vector<double>> deserialize_flat_or_nested(FlatOrNested value) {
  if (!value.is_array || value.has_other || (value.has_numbers && value.has_rows)) {
    return fail(std::string(kShapeMessage));
  }
  return std::move(value.numbers);
}

}  // namespace sync_detail
}  // namespace korvane
