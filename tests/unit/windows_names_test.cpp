// The rule for names Windows can hold. It is pure text, so it is tested on
// every system, not only where it is applied.
#include <gtest/gtest.h>

#include <string>

#include "base/windows_names.h"

using namespace kq;

TEST(WindowsNames, DeviceNamesInAnyCaseAndWithAnyExtension) {
  for (const char *dev : {"con", "PRN", "Aux", "nul", "com1", "COM9", "lpt1", "Lpt9", "nul.txt",
                          "con.tar.gz", "aux .log", "com3."})
    EXPECT_TRUE(windows_device_name(dev)) << dev;
  for (const char *fine : {"", "console", "com0", "com10", "lpt", "comx", "my.con", "_con", " con", "nul_"})
    EXPECT_FALSE(windows_device_name(fine)) << fine;
}

TEST(WindowsNames, ForbiddenBytesAreControlsSeparatorsAndWildcards) {
  for (unsigned char c = 1; c < 0x20; ++c) EXPECT_TRUE(windows_forbidden_byte(c)) << int(c);
  for (char c : std::string(":*?\"<>|/\\")) EXPECT_TRUE(windows_forbidden_byte(static_cast<unsigned char>(c))) << c;
  // Allowed on Windows, though some look alike: a dot or space inside a
  // name, DEL, bytes of UTF-8 characters.
  for (unsigned char c : std::string(". ~#%'\x7f\xc3\xa9"))
    EXPECT_FALSE(windows_forbidden_byte(c)) << int(c);
}

TEST(WindowsNames, NamesAreMadeHoldable) {
  EXPECT_EQ(windows_file_name("Ar:chive*2024?<a>|\"b\""), "Ar_chive_2024__a___b_");
  EXPECT_EQ(windows_file_name("tab\there\x01"), "tab_here_");
  // Windows strips a final dot or space, which would merge "a." with "a".
  EXPECT_EQ(windows_file_name("a."), "a_");
  EXPECT_EQ(windows_file_name("a "), "a_");
  EXPECT_EQ(windows_file_name("_.."), "_._");
  EXPECT_EQ(windows_file_name("a. ."), "a. _");
  EXPECT_EQ(windows_file_name("con"), "_con");
  EXPECT_EQ(windows_file_name("LPT1.txt"), "_LPT1.txt");
  // A device name with a final dot: both mended.
  EXPECT_EQ(windows_file_name("nul."), "nul_");
  EXPECT_EQ(windows_file_name("con.txt."), "_con.txt_");
}

TEST(WindowsNames, HoldableNamesAreKeptAsTheyAre) {
  for (const char *fine : {"INBOX", "Entw\xc3\xbcrfe", "Sent Items", ".hidden", "a.b c", "x~2", "_con", "com10"}) {
    EXPECT_EQ(windows_file_name(fine), fine) << fine;
    // Applying the rule twice changes nothing more.
    EXPECT_EQ(windows_file_name(windows_file_name(fine)), fine) << fine;
  }
  for (const char *bad : {"con", "a.", "q?"}) EXPECT_EQ(windows_file_name(windows_file_name(bad)), windows_file_name(bad));
}
