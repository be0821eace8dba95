// The packet layer's reply side fed with arbitrary bytes from the far end of a
// virtual line. Input: 12 control bytes, one per transaction (reply length, a
// repeat of the request before, a line fault), then the bytes the far end
// sends, in chunks released by each request it receives. Receiving, repairing
// and parsing must not crash or hang, and a reply is only accepted whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "link/commands.h"
#include "link/crc16.h"
#include "link/packet.h"
#include "sim/virtual_line.h"
#include "platform/console.h"

namespace {

constexpr size_t kTransactions = 12;

// Sends the next chunk of the script each time a request's last byte arrives.
class FuzzEnd : public corv::LineEnd {
 public:
  FuzzEnd(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  void Expect(size_t requestLength, size_t chunk) {
    pending_ = requestLength;
    chunk_ = chunk;
  }
  void OnByte(corv::VirtualLine& line, uint64_t atUs, uint8_t) override {
    if (pending_ == 0 || --pending_ > 0) return;
    const size_t n = chunk_ < size_ - sent_ ? chunk_ : size_ - sent_;
    if (n > 0) line.FarSend(atUs, data_ + sent_, n);
    sent_ += n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t sent_ = 0;
  size_t pending_ = 0;
  size_t chunk_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kTransactions) return 0;
  const uint8_t* control = data;
  FuzzEnd end(data + kTransactions, size - kTransactions);

  corv::ScriptedConsole console;
  corv::VirtualClock clock;
  corv::Context ctx(console, clock);
  ctx.settings.debugOn = ctx.settings.detailedDebug = ctx.settings.traceEnabled = true;
  corv::VirtualPortDriver driver(clock);
  corv::VirtualLine& line = driver.AddLine(1);
  line.Attach(&end);
  line.SetFarLine(115200, false);
  corv::OpenResult opened;
  auto port = driver.Open(1, corv::LineSettings{115200, 2, false, false, false}, 100, opened);
  if (!port) std::abort();
  corv::Packet packet(ctx);

  uint16_t code = 0x1010;
  for (size_t t = 0; t < kTransactions; ++t) {
    const uint8_t c = control[t];
    const int replyLength = 2 + (c & 0x1F);  // without the check
    if ((c & 0x80) == 0) ++code;              // else the same request again
    line.toHost.errorRate = (c & 0x60) == 0x60 ? 0.01 : 0;
    line.toHost.seed = c;

    packet.BeginCommand(corv::cmd::kBootAddress, code);
    packet.Append8(static_cast<uint8_t>(replyLength));
    end.Expect(6 + 1, static_cast<size_t>(replyLength + 2 + (c & 0x60 ? 3 : 0)));
    packet.SendPacket(port.get(), 5);
    packet.ReceiveReply(port.get(), replyLength);
    const bool matches = packet.ReplyHeaderIs(corv::cmd::kBootAddress, code);
    for (int left = replyLength - 4; left > 0;) {
      const int width = left >= 4 ? 4 : (left >= 2 ? 2 : 1);
      (void)packet.ReadField(width);
      left -= width;
    }

    const int held = packet.RxCount();
    const bool intact = held > 0 && corv::Crc16(packet.RxData(), static_cast<size_t>(held)) == 0;
    const bool accepted = packet.CheckReply(port.get());
    if (accepted && (!intact || held != replyLength + 2)) std::abort();
    (void)matches;
    if (packet.RxCount() < 0 || packet.RxCount() > corv::Packet::kRxSize) std::abort();
  }
  return 0;
}
