#include "platform/registry_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tmb::platform::regfile {
namespace {

using namespace std::string_literals;

std::string Utf16Le(std::u16string_view text, bool bom = true) {
  std::string out = bom ? "\xFF\xFE"s : ""s;
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

ParsedHive Parse(const std::string& bytes, Hive hive = Hive::kCurrentUser) {
  return ParseHive(bytes, "t.reg", hive);
}

const Value* Get(const ParsedHive& h, std::string_view key, std::string_view name) {
  const Key* k = FindKey(h.root, key);
  return k ? k->FindValue(name) : nullptr;
}

std::string DataOf(const ParsedHive& h, std::string_view key, std::string_view name) {
  const Value* v = Get(h, key, name);
  return v ? v->data : "<missing>";
}

// One file holding every kind of value, written as the registry editor
// writes it (hex(2) and hex(7) are UTF-16LE, hex data wraps with '\').
const char kAllTypes[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; settings\n"
    "[HKEY_CURRENT_USER\\Software\\Orlane Systems\\SQL Server]\n"
    "@=\"default text\"\n"
    "\"Port\"=\"20300\"\n"
    "\"Path\"=\"C:\\\\data\\\\\\\"q\\\"\"\n"
    "\"Slots\"=dword:0000abcd\n"
    "\"Blob\"=hex:01,ff,7f\n"
    "\"Expand\"=hex(2):25,00,54,00,4d,00,50,00,25,00,e9,00,ac,20,\\\n"
    "  00,00\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n"
    "\"Big\"=hex(b):01,02,03,04,05,06,07,08\n";

TEST(ParseHiveTest, EveryValueKindKeepsItsTypeAndBytes) {
  ParsedHive h = Parse(kAllTypes);
  EXPECT_TRUE(h.diagnostics.empty()) << h.diagnostics.front();
  const std::string key = "Software\\Orlane Systems\\SQL Server";
  ASSERT_NE(FindKey(h.root, key), nullptr);

  EXPECT_EQ(DataOf(h, key, ""), "default text\0"s);
  EXPECT_EQ(Get(h, key, "Port")->type, kRegSz);
  EXPECT_EQ(DataOf(h, key, "Port"), "20300\0"s);
  EXPECT_EQ(DataOf(h, key, "Path"), "C:\\data\\\"q\"\0"s);
  EXPECT_EQ(Get(h, key, "Slots")->type, kRegDword);
  EXPECT_EQ(DataOf(h, key, "Slots"), "\xcd\xab\0\0"s);
  EXPECT_EQ(Get(h, key, "Blob")->type, kRegBinary);
  EXPECT_EQ(DataOf(h, key, "Blob"), "\x01\xff\x7f"s);
  // UTF-16LE "%TMP%é€" across a continuation, in Windows-1252.
  EXPECT_EQ(Get(h, key, "Expand")->type, kRegExpandSz);
  EXPECT_EQ(DataOf(h, key, "Expand"), "%TMP%\xE9\x80\0"s);
  EXPECT_EQ(Get(h, key, "Multi")->type, kRegMultiSz);
  EXPECT_EQ(DataOf(h, key, "Multi"), "a\0bc\0\0"s);
  EXPECT_EQ(Get(h, key, "Big")->type, kRegQword);
  EXPECT_EQ(DataOf(h, key, "Big"), "\x01\x02\x03\x04\x05\x06\x07\x08"s);
}

TEST(ParseHiveTest, EncodingsAndLineEndsGiveTheSameHive) {
  const std::string key = "Software\\K";
  auto check = [&](const std::string& bytes, const char* label) {
    ParsedHive h = Parse(bytes);
    EXPECT_TRUE(h.diagnostics.empty()) << label << ": " << h.diagnostics.front();
    EXPECT_EQ(DataOf(h, key, "Name"), "Caf\xE9 \x80\0"s) << label;
    EXPECT_EQ(DataOf(h, key, "N"), "\x05\0\0\0"s) << label;
  };
  std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\K]\r\n"
      u"\"Name\"=\"Caf\u00e9 \u20ac\"\r\n\"N\"=dword:00000005\r\n";
  check(Utf16Le(text), "UTF-16LE CRLF");
  const std::string cp1252 =
      "Windows Registry Editor Version 5.00\n[HKCU\\Software\\K]\n\"Name\"=\"Caf\xE9 \x80\"\n\"N\"=dword:5\n";
  check(cp1252, "1252 LF");
  const std::string utf8 =
      "Windows Registry Editor Version 5.00\r\n[HKCU\\Software\\K]\r\n\"Name\"=\"Caf\xC3\xA9 \xE2\x82\xAC\"\r\n"
      "\"N\"=dword:5\r\n";
  check(utf8, "UTF-8 without BOM");
  check("\xEF\xBB\xBF" + utf8, "UTF-8 with BOM");

  // A character Windows-1252 lacks becomes '?', as the 8-bit calls give it.
  ParsedHive h = Parse(Utf16Le(u"REGEDIT4\n[HKCU\\A]\n\"x\"=\"\u0101\U0001F600\"\n"));
  EXPECT_EQ(DataOf(h, "A", "x"), "??\0"s);
}

TEST(ParseHiveTest, Regedit4TextHexIsEightBit) {
  ParsedHive h = Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\S]\n\"E\"=hex(2):41,42,00\n", Hive::kLocalMachine);
  EXPECT_TRUE(h.diagnostics.empty());
  EXPECT_EQ(DataOf(h, "S", "E"), "AB\0"s);
}

TEST(ParseHiveTest, TextsAlwaysEndInTheirTerminators) {
  ParsedHive h = Parse(
      "Windows Registry Editor Version 5.00\n[HKCU\\K]\n"
      "\"sz\"=hex(1):41,00\n"
      "\"exp\"=hex(2):\n"
      "\"multi\"=hex(7):41,00,00,00\n"
      "\"multi2\"=hex(7):41,00\n"
      "\"bin\"=hex:41\n");
  EXPECT_TRUE(h.diagnostics.empty());
  EXPECT_EQ(DataOf(h, "K", "sz"), "A\0"s);
  EXPECT_EQ(DataOf(h, "K", "exp"), "\0"s);
  EXPECT_EQ(DataOf(h, "K", "multi"), "A\0\0"s);
  EXPECT_EQ(DataOf(h, "K", "multi2"), "A\0\0"s);
  EXPECT_EQ(DataOf(h, "K", "bin"), "A"s);  // binary data is left as written
}

TEST(ParseHiveTest, MalformedLinesAreReportedWithTheirLineAndSkippedWhole) {
  const std::string file =
      "Windows Registry Editor Version 5.00\n"  // 1
      "\"early\"=\"x\"\n"                       // 2  before any section
      "[HKCU\\K]\n"                             // 3
      "\"a\"=\"x\" junk\n"                      // 4
      "\"b\"=dword:123456789\n"                 // 5
      "\"c\"=hex:01,zz\n"                       // 6
      "\"d\"=dword:12 34\n"                     // 7
      "\"e\"=\"unterminated\n"                  // 8
      "\"f\"=\"C:\\temp\"\n"                    // 9  unknown escape \t
      "\"g\"=-\n"                               // 10
      "\"h\"=hex(2):41\n"                       // 11 odd UTF-16
      "garbage\n"                               // 12
      "\"i\" \"x\"\n"                           // 13
      "\"j\"=hex:01,,02\n"                      // 14
      "\"k\"=qword:1\n"                         // 15
      "\"l\"=hex(zz):01\n"                      // 16
      "\"ok\"=\"yes\"\n";                       // 17
  ParsedHive h = Parse(file);
  std::vector<int> lines;
  for (const std::string& d : h.diagnostics) {
    ASSERT_EQ(d.rfind("t.reg:", 0), 0u) << d;
    lines.push_back(std::stoi(d.substr(6)));
  }
  EXPECT_EQ(lines, (std::vector<int>{2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
  const Key* k = FindKey(h.root, "K");
  ASSERT_NE(k, nullptr);
  ASSERT_EQ(k->values.size(), 1u);  // nothing of a broken line is kept
  EXPECT_EQ(k->values[0].name, "ok");
  EXPECT_NE(h.diagnostics[6].find("unknown escape \\t"), std::string::npos) << h.diagnostics[6];
}

TEST(ParseHiveTest, RefusedSectionsDropTheirValuesInsteadOfFeedingTheKeyAbove) {
  const std::string file =
      "Windows Registry Editor Version 5.00\n"
      "[HKCU\\A]\n"
      "\"v\"=\"a\"\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"  // 4: the other hive
      "\"w\"=\"machine\"\n"
      "[HKCU\\B\n"                 // 6: no ']'
      "\"x\"=\"lost\"\n"
      "[-HKCU\\A]\n"               // 8: deletion
      "\"y\"=\"lost\"\n"
      "[HKEY_NOWHERE\\A]\n"        // 10: unknown root
      "\"z\"=\"lost\"\n"
      "[HKCU\\A\\\\B]\n"           // 12: empty key name
      "[HKCU\\A]\n"
      "\"v2\"=\"b\"\n";
  ParsedHive h = Parse(file);
  ASSERT_EQ(h.diagnostics.size(), 5u);
  EXPECT_EQ(h.diagnostics[0].rfind("t.reg:4: ", 0), 0u) << h.diagnostics[0];
  EXPECT_EQ(h.diagnostics[1].rfind("t.reg:6: ", 0), 0u) << h.diagnostics[1];
  EXPECT_EQ(h.diagnostics[2].rfind("t.reg:8: ", 0), 0u) << h.diagnostics[2];
  EXPECT_EQ(h.diagnostics[3].rfind("t.reg:10: ", 0), 0u) << h.diagnostics[3];
  EXPECT_EQ(h.diagnostics[4].rfind("t.reg:12: ", 0), 0u) << h.diagnostics[4];
  const Key* a = FindKey(h.root, "A");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->values.size(), 2u);  // a repeated section adds to the key
  EXPECT_EQ(a->values[0].name, "v");
  EXPECT_EQ(a->values[1].name, "v2");
  EXPECT_EQ(FindKey(h.root, "B"), nullptr);

  // The same file read as the machine hive takes the other side.
  ParsedHive m = Parse(file, Hive::kLocalMachine);
  EXPECT_EQ(DataOf(m, "A", "w"), "machine\0"s);
  EXPECT_EQ(DataOf(m, "A", "v"), "<missing>");
}

TEST(ParseHiveTest, FileWithoutHeaderIsNotRead) {
  ParsedHive h = Parse("[HKCU\\A]\n\"v\"=\"a\"\n");
  ASSERT_EQ(h.diagnostics.size(), 1u);
  EXPECT_EQ(h.diagnostics[0].rfind("t.reg:1: not a registry file", 0), 0u) << h.diagnostics[0];
  EXPECT_EQ(FindKey(h.root, "A"), nullptr);

  EXPECT_TRUE(Parse("").diagnostics.empty());
  EXPECT_TRUE(Parse("\n  \r\n").diagnostics.empty());
  EXPECT_EQ(Parse("\xFE\xFF\0W"s).diagnostics.size(), 1u);  // UTF-16BE
}

TEST(ParseHiveTest, NamesIgnoreCaseAndTheLaterDefinitionWins) {
  ParsedHive h = Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKCU\\Software\\Caf\xC9]\n"
      "\"First\"=\"1\"\n"
      "\"\xC9t\xC9\"=\"2\"\n"
      "\"FIRST\"=dword:3\n"
      "\"\"=\"default\"\n"
      "@=\"default again\"\n");
  EXPECT_TRUE(h.diagnostics.empty());
  const Key* k = FindKey(h.root, "SOFTWARE\\caf\xE9");
  ASSERT_NE(k, nullptr);
  ASSERT_EQ(k->values.size(), 3u);
  EXPECT_EQ(k->values[0].name, "First");  // first place and spelling, last data
  EXPECT_EQ(k->values[0].type, kRegDword);
  EXPECT_EQ(k->values[0].data, "\x03\0\0\0"s);
  ASSERT_NE(k->FindValue("\xE9T\xE9"), nullptr);
  EXPECT_EQ(k->FindValue("\xE9T\xE9")->data, "2\0"s);
  EXPECT_EQ(k->FindValue("")->data, "default again\0"s);
  EXPECT_EQ(k->FindValue("Firs"), nullptr);
}

TEST(ParseHiveTest, KeysAboveASectionExist) {
  ParsedHive h = Parse("Windows Registry Editor Version 5.00\n[HKCU\\A\\B\\C]\n\"v\"=\"x\"\n");
  EXPECT_NE(FindKey(h.root, ""), nullptr);
  EXPECT_NE(FindKey(h.root, "a"), nullptr);
  EXPECT_NE(FindKey(h.root, "A\\b"), nullptr);
  EXPECT_NE(FindKey(h.root, "A\\B\\C\\"), nullptr);
  EXPECT_TRUE(FindKey(h.root, "A\\B")->values.empty());
  EXPECT_EQ(FindKey(h.root, "\\A"), nullptr);
  EXPECT_EQ(FindKey(h.root, "A\\\\B"), nullptr);
  EXPECT_EQ(FindKey(h.root, "A\\B\\C\\D"), nullptr);
  EXPECT_EQ(FindKey(h.root, "B"), nullptr);
}

TEST(ParseHiveTest, ContinuationLines) {
  ParsedHive h = Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKCU\\K]\n"
      "\"long\"=hex:01,02,\\\n"
      "  03,04,\\\n"
      "  05\n"
      "\"cut\"=hex:01,\\\n"           // 6: the next line is a section, not data
      "[HKCU\\L]\n"
      "\"v\"=\"in L\"\n"
      "\"cut2\"=hex:01,\\\n"          // 9: the next line is a value
      "\"w\"=\"kept\"\n"
      "\"end\"=hex:01,\\\n");         // 11: the file ends
  ASSERT_EQ(h.diagnostics.size(), 3u);
  EXPECT_EQ(h.diagnostics[0].rfind("t.reg:6: ", 0), 0u) << h.diagnostics[0];
  EXPECT_EQ(h.diagnostics[1].rfind("t.reg:9: ", 0), 0u) << h.diagnostics[1];
  EXPECT_EQ(h.diagnostics[2].rfind("t.reg:11: ", 0), 0u) << h.diagnostics[2];
  EXPECT_EQ(DataOf(h, "L", "w"), "kept\0"s);
  EXPECT_EQ(DataOf(h, "K", "long"), "\x01\x02\x03\x04\x05"s);
  EXPECT_EQ(DataOf(h, "K", "cut"), "<missing>");
  EXPECT_EQ(DataOf(h, "L", "v"), "in L\0"s);
  EXPECT_EQ(DataOf(h, "L", "end"), "<missing>");
}

TEST(ParseHiveTest, UndecodableLinesAreSkipped) {
  ParsedHive h = Parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKCU\\K]\n\"a\"=\"\xFF\"\n\"b\"=\"ok\"\n");
  ASSERT_EQ(h.diagnostics.size(), 1u);
  EXPECT_EQ(h.diagnostics[0].rfind("t.reg:3: invalid UTF-8", 0), 0u) << h.diagnostics[0];
  EXPECT_EQ(DataOf(h, "K", "a"), "<missing>");
  EXPECT_EQ(DataOf(h, "K", "b"), "ok\0"s);

  // A NUL inside a text would cut it short for every caller.
  ParsedHive n = Parse(Utf16Le(u"REGEDIT4\n[HKCU\\K]\n\"a\"=\"x\0y\"\n\"b\"=\"ok\"\n"s));
  ASSERT_EQ(n.diagnostics.size(), 1u);
  EXPECT_EQ(n.diagnostics[0].rfind("t.reg:3: ", 0), 0u) << n.diagnostics[0];
  EXPECT_EQ(DataOf(n, "K", "a"), "<missing>");

  // Half a UTF-16 character at the end spoils only the last line.
  ParsedHive odd = Parse(Utf16Le(u"REGEDIT4\n[HKCU\\K]\n\"b\"=\"ok\"\n\"a\"=\"x\"") + "\x41");
  ASSERT_EQ(odd.diagnostics.size(), 1u);
  EXPECT_EQ(odd.diagnostics[0].rfind("t.reg:4: ", 0), 0u) << odd.diagnostics[0];
  EXPECT_EQ(DataOf(odd, "K", "b"), "ok\0"s);
  EXPECT_EQ(DataOf(odd, "K", "a"), "<missing>");
}

TEST(ParseHiveTest, OverlongNamesAreRefused) {
  const std::string long_key(kMaxKeyNameLength + 1, 'k');
  const std::string long_value(kMaxValueNameLength + 1, 'v');
  ParsedHive h = Parse("REGEDIT4\n[HKCU\\" + long_key + "]\n\"x\"=\"1\"\n[HKCU\\A]\n\"" + long_value +
                       "\"=\"1\"\n\"" + std::string(kMaxValueNameLength, 'v') + "\"=\"2\"\n");
  ASSERT_EQ(h.diagnostics.size(), 2u);
  EXPECT_EQ(FindKey(h.root, long_key), nullptr);
  ASSERT_NE(FindKey(h.root, "A"), nullptr);
  EXPECT_EQ(FindKey(h.root, "A")->values.size(), 1u);

  std::string deep = "REGEDIT4\n[HKCU";
  for (size_t i = 0; i <= kMaxKeyDepth; ++i) deep += "\\k";
  ParsedHive d = Parse(deep + "]\n");
  EXPECT_EQ(d.diagnostics.size(), 1u);
  EXPECT_TRUE(d.root.subkeys.empty());
}

}  // namespace
}  // namespace tmb::platform::regfile
