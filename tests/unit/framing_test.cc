#include <random>

#include <gtest/gtest.h>

#include "framework/tcp.h"

namespace tvx::framing {
namespace {

TEST(FramingTest, HeaderIsBigEndianLength) {
  const std::string frame = EncodeFrame(std::string(258, 'a'));
  ASSERT_EQ(frame.size(), 262u);
  EXPECT_EQ(frame.substr(0, 4), std::string("\x00\x00\x01\x02", 4));
  EXPECT_EQ(EncodeFrame(""), std::string(4, '\0'));
}

TEST(FramingTest, DecodesFramesAcrossArbitraryReadBoundaries) {
  std::vector<std::string> bodies = {"", "a", std::string(1000, 'x'), "hello", std::string(70000, 'y')};
  std::string stream;
  for (const auto& b : bodies) stream += EncodeFrame(b);

  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    FrameDecoder decoder(1 << 20);
    std::vector<std::string> out;
    size_t at = 0;
    while (at < stream.size()) {
      size_t n = std::min<size_t>(stream.size() - at, 1 + random() % 300);
      decoder.Append(stream.data() + at, n);
      at += n;
      std::string body;
      while (decoder.Next(&body) == FrameDecoder::Result::kFrame) out.push_back(body);
    }
    ASSERT_EQ(out, bodies) << "round " << round;
    EXPECT_EQ(decoder.buffered(), 0u);
  }
}

TEST(FramingTest, RefusesOversizedLengthBeforeItsBodyArrives) {
  FrameDecoder decoder(16);
  std::string body;
  decoder.Append(EncodeFrame(std::string(16, 'a')).data(), 20);
  EXPECT_EQ(decoder.Next(&body), FrameDecoder::Result::kFrame);
  decoder.Append("\x00\x00\x00\x11", 4);
  EXPECT_EQ(decoder.Next(&body), FrameDecoder::Result::kTooLarge);
}

}  // namespace
}  // namespace tvx::framing
