#include <random>

#include <gtest/gtest.h>

#include "framework/tcp.h"

namespace tvx {
namespace {

TEST(FramingTest, DecodesBigEndianFramesAcrossArbitraryReadBoundariesUpToTheLimit) {
  EXPECT_EQ(framing::EncodeFrame(std::string(258, 'a')).substr(0, 5) + framing::EncodeFrame(""),
            std::string("\x00\x00\x01\x02" "a\0\0\0\0", 9));
  std::vector<std::string> bodies = {"", "a", std::string(1000, 'x'), "hello", std::string(70000, 'y')};
  std::string stream;
  for (const auto& b : bodies) stream += framing::EncodeFrame(b);
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    framing::FrameDecoder decoder(1 << 20);
    std::vector<std::string> out;
    for (size_t at = 0, n; at < stream.size(); at += n) {
      n = std::min<size_t>(stream.size() - at, 1 + random() % 300);
      decoder.Append(stream.data() + at, n);
      std::string body;
      while (decoder.Next(&body) == framing::FrameDecoder::Result::kFrame) out.push_back(body);
    }
    ASSERT_EQ(out, bodies) << "round " << round;
    EXPECT_EQ(decoder.buffered(), 0u);
  }
  // An oversized length is refused before its body arrives.
  framing::FrameDecoder decoder(16);
  std::string body;
  decoder.Append(framing::EncodeFrame(std::string(16, 'a')).data(), 20);
  EXPECT_EQ(decoder.Next(&body), framing::FrameDecoder::Result::kFrame);
  decoder.Append("\x00\x00\x00\x11", 4);
  EXPECT_EQ(decoder.Next(&body), framing::FrameDecoder::Result::kTooLarge);
}

}  // namespace
}  // namespace tvx
