// The bounds-checked copy: the whole text with its NUL, or an empty destination.
#include "app/data/text_copy.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace {

using Korvo_Tallisk::CopyText;

TEST(CopyTextTest, CopiesTheWholeTextWhenItAndItsNulFit) {
  char16_t exact[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(CopyText(exact, 4, u"abc"), 0);
  EXPECT_EQ(std::u16string(exact, 4), std::u16string(u"abc\0", 4));

  char16_t roomy[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(CopyText(roomy, 8, u"ab"), 0);
  EXPECT_EQ(std::u16string(roomy, 4), std::u16string(u"ab\0#", 4)) << "nothing written past the NUL";

  char16_t one[1] = {u'#'};
  EXPECT_EQ(CopyText(one, 1, u""), 0);
  EXPECT_EQ(one[0], u'\0');
}

TEST(CopyTextTest, ATextThatDoesNotFitLeavesTheDestinationEmpty) {
  char16_t buffer[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(CopyText(buffer, 3, u"abc"), ERANGE) << "three characters need four places";
  EXPECT_EQ(buffer[0], u'\0');
  EXPECT_EQ(buffer[3], u'#') << "nothing written past the size given";

  // A source without a NUL within the size given is not read past it.
  const char16_t unterminated[2] = {u'x', u'y'};
  char16_t two[2] = {u'#', u'#'};
  EXPECT_EQ(CopyText(two, 2, unterminated), ERANGE);
  EXPECT_EQ(two[0], u'\0');
}

TEST(CopyTextTest, NullArgumentsAndAZeroSizeFail) {
  char16_t buffer[2] = {u'#', u'#'};
  EXPECT_EQ(CopyText(buffer, 2, nullptr), EINVAL);
  EXPECT_EQ(buffer[0], u'\0') << "a null source leaves the destination empty";

  buffer[0] = u'#';
  EXPECT_EQ(CopyText(buffer, 0, u"a"), EINVAL);
  EXPECT_EQ(buffer[0], u'#') << "no place to write even the NUL";
  EXPECT_EQ(CopyText(nullptr, 2, u"a"), EINVAL);
}

}  // namespace
