// Names from the disk as file names of the target folder: on Windows no name
// may stand for a device or lose its trailing dots and blanks.

#include <gtest/gtest.h>

#include "recovery/Saving.h"

namespace vantrel {
namespace {

TEST(SafeFileName, NamesThatWindowsReadsAsDevicesStayFiles) {
#ifdef _WIN32
  EXPECT_EQ(SafeFileName("CON"), "_CON");
  EXPECT_EQ(SafeFileName("nul.txt"), "_nul.txt");
  EXPECT_EQ(SafeFileName("Com1"), "_Com1");
  EXPECT_EQ(SafeFileName("LPT9.DOC"), "_LPT9.DOC");
  EXPECT_EQ(SafeFileName("AUX .TXT"), "_AUX .TXT");
  // Trailing dots and blanks, which Windows drops, are kept visible.
  EXPECT_EQ(SafeFileName("README."), "README_");
  EXPECT_EQ(SafeFileName("name. "), "name__");
  EXPECT_EQ(SafeFileName("..."), "___");
#else
  EXPECT_EQ(SafeFileName("CON"), "CON");
  EXPECT_EQ(SafeFileName("nul.txt"), "nul.txt");
  EXPECT_EQ(SafeFileName("README."), "README.");
#endif
  // Everywhere: these are ordinary names.
  EXPECT_EQ(SafeFileName("COM0"), "COM0");
  EXPECT_EQ(SafeFileName("CONSOLE.TXT"), "CONSOLE.TXT");
  EXPECT_EQ(SafeFileName("a.con"), "a.con");
}

}  // namespace
}  // namespace vantrel
