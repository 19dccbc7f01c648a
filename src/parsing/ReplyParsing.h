// Reading instruments' replies: where a reply line ends, the device key in an
// identity reply, numbers in address replies and keys. Pure functions over
// bounded buffers, so that no reply, however malformed, reads or writes out of
// bounds (the fuzz targets call these directly).
#pragma once

#include <cstddef>
#include <string>

namespace ostrel {

// Length of the reply text in data[0..length): the index of the last CR or LF,
// moved back over a CR just before it so that CR LF (or CR CR) goes as a whole.
// Without any CR or LF the whole data is the text: `length`.
size_t ReplyTextLength(const char *data, size_t length);

// The device key in an identity reply ("<maker> <model> <firmware> <date>
// <serial>"): the second blank-separated field, then the blank that follows
// the fourth field and everything after it. A reply with fewer fields is keyed
// by the fields it has. Reads at most `capacity` chars, stopping at a NUL.
std::string ExtractDeviceKey(const char *reply, size_t capacity);

// The decimal number at the start of the text, read as atoi reads it (white
// space, an optional sign, digits up to the first other char; 0 if none),
// clamped to the int range instead of overflowing. Reads at most `capacity`
// chars, stopping at a NUL.
int ParseLeadingInt(const char *text, size_t capacity);

struct ModelSerial {
    int model;
    int serial;
};

// Model: the number at the start of the key. Serial: the number at the first
// digit after the key's first blank; 0 when the key has no blank or no digit
// after it.
ModelSerial ParseModelSerial(const std::string &key);

} // namespace ostrel
