// The floor of the echo benchmark: the least a Windows child can do with a host message over the
// same anonymous pipes. It blocks in ReadFile, cuts whole host messages by their length field and
// answers each with a reply of the server's layout carrying the message's argument, in one
// WriteFile. Nothing else: no thread, no wait, no event, so the round trip it allows is what the
// pipes and the scheduler cost.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

int main() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  std::string pending;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(input, buffer, sizeof buffer, &got, nullptr) || got == 0) return 0;
    pending.append(buffer, got);
    for (;;) {
      if (pending.size() < 2) break;
      const size_t length =
          static_cast<unsigned char>(pending[0]) + 255u * static_cast<unsigned char>(pending[1]);
      if (length < 8) return 1;  // the benchmark never sends one
      if (pending.size() < length) break;
      const size_t reply_length = length;  // 8 header bytes and the argument, as an echo has
      std::string reply(8, '\0');
      reply[0] = static_cast<char>(reply_length >> 8);
      reply[1] = static_cast<char>(reply_length & 0xFF);
      reply[2] = pending[2];
      reply.append(pending, 8, length - 8);
      DWORD written = 0;
      if (!::WriteFile(output, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr))
        return 0;
      pending.erase(0, length);
    }
  }
}
