// The connector's parsing steps that need no X server: the mode line of the
// external mode calculator, the NUL-separated strings and the 32-bit items of
// a property value, and the copy of a WM_SIZE_HINTS value.  Kept apart so
// they can be tested and fuzzed on plain bytes.
#pragma once

#include <list>
#include <optional>
#include <string>
#include <string_view>

#include "xcb/xcb.h"

namespace Velk::Xcb {

// The calculator's output from the first "Modeline" to the end; an output
// without one throws std::out_of_range.
std::string cvtModeline(const std::string& output);

// The pixel clock in MHz, the third token of the mode line, read as std::stof
// reads it (its std::invalid_argument and std::out_of_range pass through).  A
// NaN is no number either: std::invalid_argument.
float cvtPixelClockMHz(const std::string& modeline);

// The mode record of the line: dot clock in Hz, then the eight timings, each
// read as std::stod reads it and truncated toward zero to its low 16 bits, then
// the sync flags.  Id, skew and name length stay 0.  Empty when the line ends
// before the vertical sync token.  A timing that is infinite or NaN throws
// std::invalid_argument; a clock below 0 or of 2^32 Hz and more
// std::out_of_range.
std::optional<xcb_randr_mode_info_t> cvtModeInfo(const std::string& modeline);

// Each NUL ends exactly one element: two NULs in a row give an empty element,
// a value ending in a NUL gives none after it, an empty value no element.
std::list<std::string> splitPropertyStrings(std::string_view value);

// The value's 32-bit items in order (host byte order, as libxcb gives
// them); a trailing partial item is dropped.
std::list<uint32_t> propertyWords(std::string_view value);

// Copies the first 18 items of a WM_SIZE_HINTS value of the given format (bits
// per item) into the record and keeps the ICCCM flags of its length: all ten
// for 18 items or more; for fewer, as in the old 15-word record, the low eight,
// with base size and gravity set to 0.  Words past the value stay as they
// were.  A format that carries no items (0, as when the property is missing)
// copies nothing and gives false.
bool copySizeHints(std::string_view value, uint8_t format, SizeHints& hints);

}  // namespace Velk::Xcb
