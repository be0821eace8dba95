// The request/reply exchange over the packet layer.
#include "link/exchange.h"

namespace corv {

Exchange::Exchange(Link& link, uint8_t address) : link_(link), address_(address) {}

Exchange::Exchange(Link& link, uint8_t address, const cmd::Command& command) : Exchange(link, address) {
  command_ = &command;
}

Exchange Exchange::Quick(Link& link, uint8_t address) { return Exchange(link, address); }

Exchange& Exchange::U8(uint8_t v) {
  params_.push_back(v);
  return *this;
}

Exchange& Exchange::U16(uint16_t v) {
  params_.push_back(static_cast<uint8_t>(v >> 8));
  params_.push_back(static_cast<uint8_t>(v));
  return *this;
}

Exchange& Exchange::U32(uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) params_.push_back(static_cast<uint8_t>(v >> shift));
  return *this;
}

Exchange& Exchange::Text(std::string_view text) {
  params_.insert(params_.end(), text.begin(), text.end());
  return *this;
}

Exchange& Exchange::Data(const uint8_t* data, size_t n) {
  if (n) params_.insert(params_.end(), data, data + n);
  requestData_ = static_cast<int>(n);
  return *this;
}

Exchange& Exchange::ReplyData(int n) {
  replyData_ = n;
  return *this;
}

void Exchange::Send() {
  Packet& p = link_.packet;
  if (command_) {
    p.BeginCommand(address_, command_->code);
  } else {
    p.BeginQuick(address_);
  }
  p.AppendBytes(params_.data(), params_.size());
  p.SendPacket(link_.Port(), command_ ? command_->RequestLength(requestData_) : cmd::kQuickRequestLength);
}

Exchange::Received Exchange::Receive(const Parse& parse) {
  Packet& p = link_.packet;
  p.ReceiveReply(link_.Port(), command_ ? command_->ReplyLength(replyData_) : cmd::kQuickReplyLength);
  Received r;
  if (command_) {
    r.header = p.ReplyHeaderIs(address_, command_->replyCode);
  } else {
    const uint32_t address = p.ReadField(1);
    const uint32_t function = p.ReadField(1);
    r.header = address == address_ && function == cmd::kQuickReply;
  }
  ReplyFields fields(p);
  r.answers = parse ? parse(fields) : true;
  r.intact = p.CheckReply(link_.Port());
  return r;
}

bool Exchange::Run(const Tries& tries, const Parse& parse, const Accept& accept) {
  Context& ctx = link_.ctx;
  bool send = true;
  for (attempts_ = 1; attempts_ <= tries.attempts; ++attempts_) {
    if (tries.escapable && EscapePressed(ctx)) Fatal(ctx, "Aborted");
    if (send) Send();
    const Received r = Receive(parse);
    if (r.Good() && (!accept || accept())) return true;
    if (tries.marks) ctx.Detail() << "!";
    // An intact reply to another request is a late one: this request's reply
    // is behind it, and sending again would leave one more reply behind.
    if (tries.readAfterLate) send = !r.intact;
  }
  attempts_ = tries.attempts;
  return false;
}

}  // namespace corv
