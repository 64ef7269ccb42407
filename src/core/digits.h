// Decimal numbers of fixed width, as printf's "%0<width>d" writes them,
// without the cost of a format string on every frame.
#ifndef KVX_CORE_DIGITS_H_
#define KVX_CORE_DIGITS_H_

#include <string>

namespace kvx {

// Appends `value` in decimal, with leading zeros up to `width` digits; a
// value with more digits is written whole, a negative one with its sign.
inline void AppendPadded(std::string& out, int value, int width = 1) {
  char digits[12];
  int n = 0;
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value)
                                 : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    out += '-';
    --width;
  }
  for (int i = n; i < width; ++i) out += '0';
  while (n > 0) out += digits[--n];
}

}  // namespace kvx

#endif  // KVX_CORE_DIGITS_H_
