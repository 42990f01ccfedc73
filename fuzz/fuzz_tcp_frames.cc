// The TCP front end: a client's byte stream, cut into reads at places the
// first input byte chooses, split into frames, and each frame handed to the
// receive handler of a connection as the transport would. The agent runs in
// bypass mode, so every request that passes the checks of the receive path
// is answered at once: at most one answer per frame, exactly one for a
// request with a 16-byte uuid and type 4 or 5, carrying that uuid and type.
#include <memory>
#include <string>
#include <vector>

#include "framework/biller.pb.h"
#include "framework/tcp.h"
#include "fuzz/fuzz_support.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/session.h"

namespace tvx::fuzz {
namespace {

constexpr uint32_t kMaxBodyBytes = 1 << 16;

class RecordingTransport : public Transport {
 public:
  bool Send(const Buffer& buffer, int /*priority*/) override {
    sent.push_back(buffer.bytes());
    return true;
  }
  void Close() override {}
  std::vector<std::string> sent;
};

bool Answerable(const std::string& body) {
  Biller::Request request;
  return request.ParseFromString(body) && request.has_request_uuid() &&
         request.request_uuid().size() == 16 && request.has_type() &&
         (request.type() == Biller::kAuthentication ||
          request.type() == Biller::kReceiptValidation);
}

void CheckAnswer(const std::string& body, const std::string& answer) {
  Biller::Request request;
  FUZZ_CHECK(request.ParseFromString(body));
  Biller::Response response;
  FUZZ_CHECK(response.ParseFromString(answer));
  FUZZ_CHECK(response.request_uuid() == request.request_uuid());
  FUZZ_CHECK(response.type() == request.type());
}

}  // namespace
}  // namespace tvx::fuzz

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  tvx::the_bypass_mode = true;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  if (size == 0) return 0;
  auto connection = std::make_shared<fuzz::RecordingTransport>();
  BillingAgent::OnTcpConnected(connection, {});

  framing::FrameDecoder decoder(fuzz::kMaxBodyBytes);
  uint32_t cut = data[0];  // the sizes of the reads, 1 to 64 bytes each
  size_t at = 1;
  bool open = true;
  while (open && at < size) {
    cut = cut * 1103515245u + 12345u;
    const size_t read = std::min<size_t>(size - at, 1 + (cut >> 16) % 64);
    decoder.Append(reinterpret_cast<const char*>(data) + at, read);
    at += read;
    std::string body;
    for (;;) {
      const auto result = decoder.Next(&body);
      if (result == framing::FrameDecoder::Result::kNeedMore) break;
      if (result == framing::FrameDecoder::Result::kTooLarge) {
        open = false;  // the connection is closed
        break;
      }
      FUZZ_CHECK(body.size() <= fuzz::kMaxBodyBytes);
      const size_t before = connection->sent.size();
      BillingAgent::OnTcpReceived(connection, {}, Buffer(body));
      const size_t answers = connection->sent.size() - before;
      FUZZ_CHECK(answers == (fuzz::Answerable(body) ? 1u : 0u));
      if (answers == 1) fuzz::CheckAnswer(body, connection->sent.back());
    }
  }
  BillingAgent::OnTcpDisconnected(connection, {});
  FUZZ_CHECK(TcpSessionIdCount() == 0);
  FUZZ_CHECK(ClientSessionCount() == 0);
  return 0;
}
