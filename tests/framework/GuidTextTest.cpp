#include "framework/GuidText.h"

#include <gtest/gtest.h>

namespace tarvik {
namespace {

TEST(GuidText, OnlyTheRegistryFormIsAccepted) {
  // {6E1C2A40-3B9D-4F57-A1E2-7C0D9B8E5F31}
  constexpr GUID expected = {0x6e1c2a40, 0x3b9d, 0x4f57, {0xa1, 0xe2, 0x7c, 0x0d, 0x9b, 0x8e, 0x5f, 0x31}};
  GUID guid;
  EXPECT_TRUE(ParseGuidText("{6E1C2A40-3B9D-4F57-A1E2-7C0D9B8E5F31}", &guid));
  EXPECT_TRUE(IsEqualGUID(guid, expected));
  EXPECT_EQ(GuidText(guid), "{6E1C2A40-3B9D-4F57-A1E2-7C0D9B8E5F31}");
  for (const char* bad :
       {"", "{not-a-guid}", "6E1C2A40-3B9D-4F57-A1E2-7C0D9B8E5F31", "{6E1C2A40-3B9D-4F57-A1E2-7C0D9B8E5F3G}",
        "{6E1C2A403-B9D-4F57-A1E2-7C0D9B8E5F31}", "{6E1C2A40-3B9D-4F57-A1E2-7C0D9B8E5F31} ", "htmlfile"})
    EXPECT_FALSE(ParseGuidText(bad, &guid)) << bad;
}

}  // namespace
}  // namespace tarvik
