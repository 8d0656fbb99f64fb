// The console helpers with scripted input and captured output.
#include <gtest/gtest.h>

#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "Utils.h"

namespace {

// Points a standard stream at a string buffer for the life of the object.
class Redirect {
  public:
    Redirect(std::ios& stream, std::streambuf* buffer) : stream_(stream), saved_(stream.rdbuf(buffer)) {}
    ~Redirect() { stream_.rdbuf(saved_); }

  private:
    std::ios& stream_;
    std::streambuf* saved_;
};

TEST(UtilsGetUserInputInt, PromptsAgainUntilTheNumberIsInRange) {
    std::istringstream in("5\n2\n");
    std::ostringstream out;
    EXPECT_EQ(Utils::getUserInputInt("Select an adapter", 2, in, out), std::optional<uint64_t>(2));
    EXPECT_EQ(out.str(), "Select an adapter (0-2): Select an adapter (0-2): ");

    // The bounds themselves are accepted.
    std::istringstream zero("0");
    std::ostringstream zero_out;
    EXPECT_EQ(Utils::getUserInputInt("Pick", 0, zero, zero_out), std::optional<uint64_t>(0));
    EXPECT_EQ(zero_out.str(), "Pick (0-0): ");
}

TEST(UtilsGetUserInputInt, TextThatIsNotANumberGivesNoValue) {
    std::istringstream in("b\n1\n");
    std::ostringstream out;
    EXPECT_EQ(Utils::getUserInputInt("Select an adapter", 2, in, out), std::nullopt);
    EXPECT_EQ(out.str(), "Select an adapter (0-2): ");
    EXPECT_TRUE(in.fail());
}

TEST(UtilsGetUserInputInt, EndOfInputGivesNoValue) {
    // Already at the end before the first prompt: nothing is written.
    std::istringstream empty("");
    empty.peek();
    ASSERT_TRUE(empty.eof());
    std::ostringstream out;
    EXPECT_EQ(Utils::getUserInputInt("Select an adapter", 2, empty, out), std::nullopt);
    EXPECT_EQ(out.str(), "");

    // A number too large as the last thing typed: the input ends before a second prompt.
    std::istringstream last("9");
    std::ostringstream last_out;
    EXPECT_EQ(Utils::getUserInputInt("Select an adapter", 2, last, last_out), std::nullopt);
    EXPECT_EQ(last_out.str(), "Select an adapter (0-2): ");

    // The input ends while a prompt waits.
    std::istringstream waiting("7\n");
    std::ostringstream waiting_out;
    EXPECT_EQ(Utils::getUserInputInt("Select an adapter", 2, waiting, waiting_out), std::nullopt);
    EXPECT_EQ(waiting_out.str(), "Select an adapter (0-2): Select an adapter (0-2): ");
}

TEST(UtilsGetUserInputInt, ConsoleVersionUsesStandardStreams) {
    std::istringstream in("3\n1\n");
    std::ostringstream out;
    Redirect input(std::cin, in.rdbuf());
    Redirect output(std::cout, out.rdbuf());
    EXPECT_EQ(Utils::getUserInputInt("Select an adapter", 1), std::optional<uint64_t>(1));
    EXPECT_EQ(out.str(), "Select an adapter (0-1): Select an adapter (0-1): ");
}

TEST(UtilsPrintByteArray, PrintsTwoHexDigitsPerByteAndLeavesTheStreamInHex) {
    std::ostringstream out;
    Utils::print_byte_array("abc", out);
    EXPECT_EQ(out.str(), "61 62 63 \n");

    out.str("");
    Utils::print_byte_array(std::string("\x01\xab\x00\xff", 4), out);
    EXPECT_EQ(out.str(), "01 ab 00 ff \n");

    // Hexadecimal and the zero fill stay; the width was for one number only.
    out.str("");
    out << 255 << " " << 5;
    EXPECT_EQ(out.str(), "ff 5");
    EXPECT_EQ(out.fill(), '0');

    out.str("");
    Utils::print_byte_array("", out);
    EXPECT_EQ(out.str(), "\n");
}

TEST(UtilsPrintByteArray, ConsoleVersionWritesToStandardOutput) {
    std::ostringstream out;
    {
        Redirect output(std::cout, out.rdbuf());
        Utils::print_byte_array(std::string("\x09\x7b", 2));
        std::cout << 26;
        std::cout << std::dec << std::setfill(' ');
    }
    EXPECT_EQ(out.str(), "09 7b \n1a");
}

}  // namespace
