// Exact literals for each rule, then a few thousand random names read back
// by Python: strict JSON, byte for byte the text json.dumps makes from the
// name as Python decodes it (U+FFFD per maximal invalid subpart), and the
// stored bytes recovered from the literal or the base64.
#include "util/json.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/files.h"

namespace zorv {
namespace {

constexpr std::size_t GUARD = 16;  // room to overrun into, so a wrong bound shows as a failure

// The byte after the name is a continuation byte: a read past the end would
// complete a truncated sequence and change the output.
std::string literal(const std::string& name, bool* exact) {
  std::string s = name + '\x80';
  std::string out(json_string_max(name.size()) + GUARD, '\0');
  std::size_t n = json_string(out.data(), s.data(), name.size(), exact) - out.data();
  EXPECT_LE(n, json_string_max(name.size()));
  EXPECT_EQ(*exact, utf8_exact(s.data(), name.size()));
  return out.substr(0, n);
}

std::string b64(const std::string& s) {
  std::string out(base64_size(s.size()) + GUARD, '\0');
  std::size_t n = base64(out.data(), s.data(), s.size()) - out.data();
  EXPECT_EQ(n, base64_size(s.size()));
  return out.substr(0, n);
}

struct Case {
  std::string in;
  std::string want;  // between the quotes
  bool exact;
};

const std::string U = "\xEF\xBF\xBD";  // U+FFFD

TEST(Json, StringLiteralsExactOrReplaced) {
  const Case cases[] = {
      {"a\"b\\c", R"(a\"b\\c)", true},
      {"\x1f\x0b", R"(\u001f\u000b)", true},
      {"\x7f", "\x7f", true},
      {"\t\n\r\b\f", R"(\t\n\r\b\f)", true},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
      {{"a\0b", 3}, R"(a\u0000b)", false},
      {"\xff\n", U + R"(\n)", false},
      {"\xC0\xAF", U + U, false},
      {"\xE0\x80\xAF", U + U + U, false},
      {"\xED\xA0\x80", U + U + U, false},
      {"\xF4\x90\x80\x80", U + U + U + U, false},
      {"\xF5\x80", U + U, false},
      {"a\xE2\x82", "a" + U, false},
      {"\xF0\x9F\x98\x41", U + "A", false},
      {"\x80", U, false},
  };
  for (const Case& c : cases) {
    bool exact = !c.exact;
    EXPECT_EQ(literal(c.in, &exact), '"' + c.want + '"');
    EXPECT_EQ(exact, c.exact) << c.want;
  }
}

TEST(Json, Base64Rfc4648Vectors) {
  const char* want[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (std::size_t n = 0; n <= 6; ++n)
    EXPECT_EQ(b64(std::string("foobar", n)), want[n]);
}

void put_utf8(std::string& s, char32_t c) {
  static constexpr unsigned char LEAD[] = {0, 0xC0, 0xE0, 0xF0};
  int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  s += static_cast<char>(LEAD[tail] | (c >> 6 * tail));
  for (int k = tail - 1; k >= 0; --k)
    s += static_cast<char>(0x80 | ((c >> 6 * k) & 0x3F));
}

// Random bytes; ASCII with a random byte here and there (runs the eight-byte
// scan stops in at every offset); valid UTF-8 weighted to range edges; and
// that with one byte replaced or the tail cut.
std::string random_name(std::mt19937& rng) {
  static constexpr char32_t EDGES[] = {0x5C,   0x1F,   0x7F,   0x80,    0x7FF,   0x800,
                                       0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  int flavour = static_cast<int>(rng() % 4);
  std::size_t len = rng() % 4 == 0 ? rng() % 300 : rng() % 40;
  std::string s;
  while (s.size() < len) {
    char32_t c = rng() % 4 == 0 ? EDGES[rng() % std::size(EDGES)] : rng() % (0x80u << rng() % 15);
    bool any_byte = flavour == 0 || rng() % 16 == 0;
    if (flavour < 2) s += static_cast<char>(any_byte ? rng() : ' ' + rng() % 95);
    if (flavour >= 2 && (c < 0xD800 || c > 0xDFFF) && c <= 0x10FFFF) put_utf8(s, c);
  }
  std::size_t at = s.empty() ? 0 : rng() % s.size();
  if (flavour == 3 && rng() % 2 == 0) s.resize(at);
  if (flavour == 3 && at < s.size()) s[at] = static_cast<char>(rng());
  return s;
}

constexpr const char* CHECK = R"(
import base64, json, sys
def constant(name): raise ValueError(name)
lines = open(sys.argv[1], 'rb').read().split(b'\n')
names = [bytes.fromhex(h) for h in open(sys.argv[2]).read().split('\n')]
assert len(lines) == len(names), (len(lines), len(names))
for line, raw in zip(lines[:-1], names):
    obj = json.loads(line.decode('utf-8'), parse_constant=constant)
    try: exact = raw.decode('utf-8').find('\0') < 0
    except UnicodeDecodeError: exact = False
    want = '{"name":' + json.dumps(raw.decode('utf-8', 'replace'), ensure_ascii=False)
    if not exact: want += ',"name_b64":"' + base64.b64encode(raw).decode() + '"'
    assert line == (want + '}').encode('utf-8'), (line, want)
    if 'name_b64' in obj: assert base64.b64decode(obj['name_b64'], validate=True) == raw
    else: assert obj['name'].encode('utf-8') == raw
print(len(lines) - 1)
)";

TEST(Json, RandomNamesReadBackByPython) {
  std::mt19937 rng(8259);
  std::string lines;
  std::string hex;
  for (int i = 0; i < 4000; ++i) {
    std::string s = random_name(rng);
    bool exact = false;
    lines += R"({"name":)" + literal(s, &exact);
    if (!exact) lines += R"(,"name_b64":")" + b64(s) + '"';
    lines += "}\n";
    for (unsigned char c : s)
      hex += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    hex += '\n';
  }
  test::TempDir dir;
  std::string json_path = dir.write("names.jsonl", test::Bytes(lines.begin(), lines.end()));
  std::string hex_path = dir.write("names.hex", test::Bytes(hex.begin(), hex.end()));
  test::RunResult r =
      test::run_program({"/usr/bin/python3", "-c", CHECK, json_path, hex_path}, "", 60);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "4000\n");
}

}  // namespace
}  // namespace zorv
