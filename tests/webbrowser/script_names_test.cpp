// The member-name table: DISPIDs per name, array indexes without storage,
// lookups by UTF-16, CESU-8 and interned-string pointer, and names retired
// when the table is full.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/webbrowser/ScriptNames.h"

namespace {

constexpr DISPID kBase = ScriptNames::kIndexBase;

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST(ScriptNames, CanonicalIndexesMapStraightToIdsAndOthersAreStored) {
  ScriptNames names(100);
  EXPECT_EQ(names.Find(u"0"), kBase);
  EXPECT_EQ(names.Add(u"17"), kBase + 17);
  EXPECT_EQ(names.Find(u"1073741822"), kBase + 1073741822) << "the largest index with an id of its own";
  for (const char16_t* stored : {u"01", u"1073741823", u"4294967295", u"-1", u"1e3", u" 1", u""}) {
    EXPECT_EQ(names.Find(stored), DISPID_UNKNOWN) << "not an index, not yet stored";
    DISPID id = names.Add(stored);
    EXPECT_TRUE(names.IsStored(id));
    EXPECT_FALSE(ScriptNames::IsIndex(id));
    EXPECT_EQ(names.Wide(id), std::u16string_view(stored));
  }
  std::u16string text;
  ASSERT_TRUE(names.NameOf(kBase + 405, &text));
  EXPECT_EQ(text, u"405");
  ASSERT_TRUE(names.NameOf(kBase, &text));
  EXPECT_EQ(text, u"0");
  EXPECT_FALSE(names.NameOf(DISPID_UNKNOWN, &text));
  EXPECT_FALSE(names.NameOf(0, &text));
}

TEST(ScriptNames, ANameKeepsItsIdAndCaseMatters) {
  ScriptNames names(100);
  DISPID push = names.Add(u"push");
  EXPECT_EQ(names.Add(u"push"), push);
  EXPECT_EQ(names.Find(u"push"), push);
  DISPID upper = names.Add(u"Push");
  EXPECT_NE(upper, push);
  EXPECT_EQ(names.Find(u"push"), push) << "the last name found does not shadow another";
  EXPECT_EQ(names.Find(u"pus"), DISPID_UNKNOWN);
  EXPECT_EQ(names.Find(u"pushed"), DISPID_UNKNOWN);
}

TEST(ScriptNames, Cesu8AndUtf16NamesMeet) {
  ScriptNames names(100);
  DISPID cafe = names.Add(u"caf\u00e9");
  EXPECT_EQ(names.FindCesu8("caf\xC3\xA9"), cafe);
  DISPID face = names.Add(u"\U0001F600");
  EXPECT_EQ(names.FindCesu8("\xED\xA0\xBD\xED\xB8\x80"), face) << "a surrogate pair as Duktape keeps it";
  EXPECT_EQ(names.FindCesu8("\xF0\x9F\x98\x80"), face) << "4-byte UTF-8 from C code";
  EXPECT_EQ(names.AddCesu8("12"), kBase + 12);
  DISPID plain = names.AddCesu8("plain");
  EXPECT_EQ(names.Find(u"plain"), plain);
}

TEST(ScriptNames, ManyNamesAreAllFoundAgain) {
  ScriptNames names(1000000);
  std::vector<DISPID> ids;
  for (int i = 0; i < 50000; ++i) {
    ids.push_back(names.Add(Wide("member" + std::to_string(i))));
    ASSERT_NE(ids.back(), DISPID_UNKNOWN);
  }
  for (int i = 0; i < 50000; i += 7) {
    std::string n = "member" + std::to_string(i);
    ASSERT_EQ(names.Find(Wide(n)), ids[i]) << n;
    ASSERT_EQ(names.FindCesu8(n), ids[i]) << n;
    std::u16string back;
    ASSERT_TRUE(names.NameOf(ids[i], &back));
    EXPECT_EQ(back, Wide(n));
  }
}

TEST(ScriptNames, AFullTableRetiresItsOldestNamesForGood) {
  ScriptNames names(16);  // retires two at a time
  DISPID pinned = names.AddPinned(u"push");
  ASSERT_NE(pinned, DISPID_UNKNOWN);
  std::vector<DISPID> ids;
  for (int i = 0; i < 16; ++i) ids.push_back(names.Add(Wide("n" + std::to_string(i))));
  EXPECT_EQ(names.AddPinned(u"late"), DISPID_UNKNOWN) << "pinned names come first";
  DISPID next = names.Add(u"fresh");
  ASSERT_NE(next, DISPID_UNKNOWN);
  // The two oldest are gone: not found, their DISPIDs name nothing now.
  EXPECT_EQ(names.Find(u"n0"), DISPID_UNKNOWN);
  EXPECT_EQ(names.Find(u"n1"), DISPID_UNKNOWN);
  EXPECT_FALSE(names.IsStored(ids[0]));
  std::u16string text;
  EXPECT_FALSE(names.NameOf(ids[1], &text));
  EXPECT_EQ(names.Find(u"n2"), ids[2]);
  EXPECT_EQ(names.Find(u"fresh"), next);
  EXPECT_EQ(names.Find(u"push"), pinned);
  // Asked for again, a retired name gets a DISPID never seen before.
  DISPID again = names.Add(u"n0");
  EXPECT_NE(again, ids[0]);
  EXPECT_GT(again, next);
  // Round and round: the newest names and the pinned one always stay.
  for (int i = 0; i < 1000; ++i) ASSERT_NE(names.Add(Wide("k" + std::to_string(i))), DISPID_UNKNOWN);
  for (int i = 990; i < 1000; ++i) EXPECT_NE(names.Find(Wide("k" + std::to_string(i))), DISPID_UNKNOWN);
  EXPECT_EQ(names.Find(u"k0"), DISPID_UNKNOWN);
  EXPECT_EQ(names.Find(u"push"), pinned);
  EXPECT_TRUE(names.NameOf(pinned, &text));
  EXPECT_EQ(text, u"push");
  EXPECT_EQ(names.Add(u"99"), kBase + 99) << "indexes need no room";
}

TEST(ScriptNames, InternedStringsFindTheirNamesUntilRetiredOrForgotten) {
  ScriptNames names(8);  // retires one at a time
  DISPID a = names.Add(u"a");
  DISPID b = names.Add(u"b");
  int keyA = 0, keyB = 0, other = 0;
  EXPECT_EQ(names.FindKey(&keyA), DISPID_UNKNOWN);
  names.SetKey(a, &keyA, 10);
  names.SetKey(b, &keyB, 11);
  names.SetKey(b, &other, 12);  // a name keeps its first string
  EXPECT_EQ(names.FindKey(&keyA), a);
  EXPECT_EQ(names.FindKey(&keyB), b);
  EXPECT_EQ(names.FindKey(&other), DISPID_UNKNOWN);
  EXPECT_EQ(names.Key(a), &keyA);
  EXPECT_EQ(names.FindKey(nullptr), DISPID_UNKNOWN);
  // Filling the table retires "a": its string is no longer its name's, and
  // its slot is handed back for the heap to let go.
  for (int i = 0; i < 7; ++i) names.Add(Wide("x" + std::to_string(i)));
  EXPECT_EQ(names.FindKey(&keyA), DISPID_UNKNOWN);
  EXPECT_EQ(names.RetiredKeySlots(), std::vector<uint32_t>{10});
  EXPECT_EQ(names.FindKey(&keyB), b);
  names.ForgetKeys();
  EXPECT_EQ(names.FindKey(&keyB), DISPID_UNKNOWN);
  EXPECT_EQ(names.Key(b), nullptr);
  EXPECT_TRUE(names.RetiredKeySlots().empty());
  EXPECT_EQ(names.Find(u"b"), b) << "the names stay";
}

}  // namespace
