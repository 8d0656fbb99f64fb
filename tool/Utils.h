#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include <tavrin/Tavrin.h>

// Console helpers of tavrin-switch.
namespace Utils {

/// The adapter to use, or no value when none can be used. Writes "Bluetooth is not enabled!" to
/// standard output when the radio is unusable, "No adapter was found." to standard error when there
/// is none, and asks on the console when there is more than one.
std::optional<Tavrin::Adapter> getAdapter();

/// Prompts "<line> (0-<max>): " on standard output and reads a number from standard input until
/// one from 0 to `max` is typed. No value at end of input or when the input is not a number
/// (the stream's failure state is then left set).
std::optional<uint64_t> getUserInputInt(const std::string& line, uint64_t max);
/// The same dialogue over the given streams.
std::optional<uint64_t> getUserInputInt(const std::string& line, uint64_t max, std::istream& in, std::ostream& out);

/// Prints each byte as two lower-case hexadecimal digits and a space, then a line end, on standard
/// output. Leaves the stream in hexadecimal with zero fill.
void print_byte_array(const std::string& bytes);
/// The same on the given stream.
void print_byte_array(const std::string& bytes, std::ostream& out);

}  // namespace Utils
