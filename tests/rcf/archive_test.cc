// SF binary encoding of integers, strings and records, and what a tolerant but strict reader accepts.

#include <gtest/gtest.h>

#include "rpc_service.h"
#include "scripted_peer.h"

namespace brannic_test {
namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

template <typename T>
std::string encode(T value) {
  std::string out;
  SF::Archive ar(out);
  ar & value;
  return out;
}

template <typename T>
T decode(const std::string& data) {
  SF::Archive ar(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  T value{};
  ar & value;
  if (!ar.atEnd()) throw std::runtime_error("bytes left over");
  return value;
}

const std::string kInt7 = bytes({0, 0, 1, 4, 7, 0, 0, 0, 2});

TEST(SfArchive, EncodesLikeRcf) {
  EXPECT_EQ(hex(encode<std::int32_t>(7)), hex(kInt7));
  EXPECT_EQ(hex(encode<std::int32_t>(-2)), hex(bytes({0, 0, 1, 4, 0xfe, 0xff, 0xff, 0xff, 2})));
  EXPECT_EQ(hex(encode<std::string>("in")), hex(bytes({0, 0, 0, 0, 1, 4, 2, 0, 0, 0, 2, 'i', 'n', 2})));
  EXPECT_EQ(encode<std::string>("").size(), 12u);
  // The record is the first parameter of the recorded request_ok call.
  EXPECT_EQ(hex(encode(rpc_sdk::BnqRequest{7, "hello"})),
            "00 00 00 00 01 04 07 00 00 00 02 00 00 00 00 01 04 05 00 00 00 02 68 65 6c 6c 6f 02 02");
}

TEST(SfArchive, RoundTripsRecords) {
  const rpc_sdk::BnqResponse r{-5, std::string("a\0b", 3), std::string(300, 'x')};
  const auto back = decode<rpc_sdk::BnqResponse>(encode(r));
  EXPECT_EQ(back.status, -5);
  EXPECT_EQ(back.detail, r.detail);
  EXPECT_EQ(back.data, r.data);
}

TEST(SfArchive, SkipsWhatNodeAttributesAndBlanksAnnounce) {
  // Attribute 0x0d: object id 5, type name "Foo", label "lb"; a blank marker before the node and its end.
  const std::string annotated = bytes({3, 2, 0xaa, 0xbb, 0, 0x0d, 5, 3, 'F', 'o', 'o', 2, 'l', 'b',
                                       1, 4, 7, 0, 0, 0, 3, 0, 2});
  EXPECT_EQ(decode<std::int32_t>(annotated), 7);
  // A long object id in SF's 5-byte length form.
  EXPECT_EQ(decode<std::int32_t>(bytes({0, 1, 0x80, 0, 1, 0, 0, 1, 4, 7, 0, 0, 0, 2})), 7);
}

TEST(SfArchive, RejectsWhatDoesNotDecode) {
  struct Case {
    const char* what;
    std::string data;
  } cases[] = {
      {"empty input", ""},
      {"reference node", bytes({0, 2, 1, 4, 7, 0, 0, 0, 2})},
      {"unknown attribute bit", bytes({0, 0x10, 1, 4, 7, 0, 0, 0, 2})},
      {"no data marker", bytes({0, 0, 0, 4, 7, 0, 0, 0, 2})},
      {"integer of 2 bytes", bytes({0, 0, 1, 2, 7, 0, 2})},
      {"bad SF length byte", bytes({0, 0, 1, 0x81, 7, 0, 0, 0, 2})},
      {"missing end", bytes({0, 0, 1, 4, 7, 0, 0, 0})},
      {"truncated value", bytes({0, 0, 1, 4, 7, 0})},
      {"type name past the end", bytes({0, 4, 0x7f, 'F'})},
      {"blank past the end", bytes({3, 9, 1})},
      {"nested nodes", std::string(20000, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      decode<std::int32_t>(c.data);
      ADD_FAILURE() << "decoded";
    } catch (const RCF::Exception& e) {
      EXPECT_EQ(e.getErrorId(), RCF::RcfError_Deserialization);
    }
  }
  // A string whose byte count runs past the end of the data, huge or just one too many.
  for (std::uint32_t count : {0xffffffffu, 3u}) {
    std::string s = bytes({0, 0, 0, 0, 1, 4});
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((count >> (8 * i)) & 0xff));
    s += bytes({2, 'a', 'b', 2});
    EXPECT_THROW(decode<std::string>(s), RCF::Exception) << count;
  }
}

}  // namespace
}  // namespace brannic_test
