// Request handlers: any sequence of request bodies, sent on one or two
// connections, is served against the real data library without a read or
// write outside a buffer, an unbounded allocation or undefined behaviour.
// A bad request ends its connection (MalformedRequest, RequestAbandoned),
// exactly as the session loop of server/session.cc ends it.
//
// Input: requests one after the other, each a two-byte big-endian header and
// that many body bytes (the last one takes what is left). The header's top
// bit sends the request on the second connection; the other 15 bits are the
// body's length. The body is what a frame delivers: the opcode, then the
// fields.
//
// Every request is served as on a connection that an opening request has
// already admitted. Replies are framed and sent as the session loop sends
// them; one the peer cannot take at once (beyond the socket's buffer) ends
// the connection, as a client that stops reading would.
//
// Ids are drawn at random by the library, so a body can name the objects its
// connection was last given through markers: the four bytes FE ED FA k are
// replaced by the big-endian id of the last environment (k = 'E'), open file
// ('F'), SQL handle ('H') or directory search ('S') of the request's own
// connection, or with k in lower case of the other connection's.
//
// The catalog (tests/support/demo_catalog.h) is built once, in a scratch
// directory. Files are restored after an input that could have changed
// them, and the process-wide settings are reset before each, so that every
// input starts from the same state.
// Lock waits are kept at 0: in one thread, a wait for the other connection
// could only run out.
//
// TMB_FUZZ_TRACE=1 in the environment prints each request and the start of
// its reply, for reading what a seed or a crashing input does.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "handlers/opcode_table.h"
#include "server/client_slots.h"
#include "server/session.h"
#include "tests/support/demo_catalog.h"
#include "tmbio/tmbio.h"
#include "wire/compression.h"
#include "wire/errors.h"
#include "wire/frame.h"
#include "wire/opcodes.h"
#include "wire/primitives.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxRequests = 64;
constexpr uint8_t kMarker[3] = {0xFE, 0xED, 0xFA};

std::string g_dir;
bool g_trace = false;  // TMB_FUZZ_TRACE
tmb::test::DemoCatalog* g_catalog = nullptr;  // for the whole run

void RemoveScratch() {
  std::error_code ignored;
  fs::remove_all(g_dir, ignored);
}

// A lock wait makes a request on one connection wait for another connection
// that, in this single thread, can never move; so every wait stays 0. The
// library's trace would only flood the fuzzer's output.
void KeepWaitsAndTraceOff() {
  QDSetEnvMode(nullptr, TMBIO_MODE_GLOBAL1, 0);
  QDSetEnvMode(nullptr, TMBIO_MODE_GLOBAL2, 0);
}

// Settings any client may change for the whole process, as every input
// starts with them.
void ResetGlobalSettings() {
  KeepWaitsAndTraceOff();
  QDSetEnvMode(nullptr, TMBIO_MODE_GLOBAL_TEXT6, 0);
  QDSetEnvMode(nullptr, TMBIO_MODE_GLOBAL_TEXT7, 0);
}

enum IdKind { kEnv, kFile, kHandle, kSearch, kIdKinds };

// One client connection: a session on one end of a socket pair, as the
// server's accept loop would make it for an accepted socket.
struct FakeConnection {
  std::unique_ptr<tmb::Session> session;
  int peer = -1;
  int32_t ids[kIdKinds] = {};
  std::vector<int32_t> envs;  // every environment it was given

  void Open() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    // A reply the peer cannot take at once fails the send and ends the
    // session, as the send time-out would.
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    session = tmb::CreateSession(fds[0]);
    if (session == nullptr) std::abort();
    session->compression.warmup = 2;  // as RunConnection starts it
    peer = fds[1];
  }

  // The end of RunConnection: the slot goes back, then CloseSession tells
  // the library the socket closed and closes it.
  void Close() {
    if (session == nullptr) return;
    if (session->slot_name[0] != '\0') {
      tmb::ReleaseSlot(session->slot_name);
      session->slot_name[0] = '\0';
    }
    tmb::CloseSession(std::move(session), false);
    close(peer);
    peer = -1;
    std::memset(ids, 0, sizeof ids);
    envs.clear();
  }

  void Drain() {
    uint8_t sink[65536];
    while (read(peer, sink, sizeof sink) > 0) {
    }
  }
};

void Substitute(std::vector<uint8_t>& body, const FakeConnection& self,
                const FakeConnection& other) {
  for (size_t i = 0; i + 4 <= body.size(); ++i) {
    if (std::memcmp(&body[i], kMarker, sizeof kMarker) != 0) continue;
    const uint8_t k = body[i + 3];
    const FakeConnection& owner = (k >= 'a' && k <= 'z') ? other : self;
    int kind;
    switch (k | 0x20) {
      case 'e': kind = kEnv; break;
      case 'f': kind = kFile; break;
      case 'h': kind = kHandle; break;
      case 's': kind = kSearch; break;
      default: continue;
    }
    tmb::StoreBigEndian32(&body[i], static_cast<uint32_t>(owner.ids[kind]));
    i += 3;
  }
}

// Notes the ids a reply hands out, so that later markers name them.
void NoteIds(FakeConnection& c, uint8_t opcode) {
  const tmb::MessageBuffer& b = c.session->buffer;
  if (b.length() < tmb::kFrameHeaderSize + 4) return;
  const auto id = static_cast<int32_t>(tmb::LoadBigEndian32(b.data() + tmb::kFrameHeaderSize));
  switch (opcode) {
    case tmb::opcode::kAllocEnv:
      if (id != 0) {
        c.ids[kEnv] = id;
        c.envs.push_back(id);
      }
      break;
    case tmb::opcode::kOpenFile:
      if (id != -1) c.ids[kFile] = id;
      break;
    case tmb::opcode::kRequestHandle:
      if (id != 0) c.ids[kHandle] = id;
      break;
    case tmb::opcode::kFindFirstFile:
      if (id != -1) c.ids[kSearch] = id;
      break;
    default:
      break;
  }
}

// Serves one request as ServeRequests does with a frame just received, the
// connection already opened. False when the session ended.
bool Serve(FakeConnection& c, const std::vector<uint8_t>& body) {
  tmb::Session& s = *c.session;
  if (!s.buffer.EnsureCapacity(body.size(), false)) return false;
  if (!body.empty()) std::memcpy(s.buffer.data(), body.data(), body.size());
  s.buffer.set_length(body.size());
  s.buffer.set_cursor(0);
  uint8_t opcode = 0;
  try {
    opcode = tmb::GetByte(s.buffer);
    s.last_opcode = opcode;
    tmb::Dispatch(s, opcode);
  } catch (const tmb::RequestAbandoned&) {
    if (g_trace) std::fprintf(stderr, "  opcode %d: abandoned\n", opcode);
    return false;
  } catch (const std::bad_alloc&) {
    if (g_trace) std::fprintf(stderr, "  opcode %d: out of memory\n", opcode);
    return false;
  } catch (const tmb::MalformedMessage& e) {
    if (g_trace) std::fprintf(stderr, "  opcode %d: malformed (%s)\n", opcode, e.what());
    return false;
  }
  // Whatever the handler did, the reply must be a body SendFrame can frame.
  if (s.buffer.length() < tmb::kFrameHeaderSize || s.buffer.length() > s.buffer.capacity()) {
    std::fprintf(stderr, "opcode %d left a reply of %llu bytes in a buffer of %llu\n", opcode,
                 static_cast<unsigned long long>(s.buffer.length()),
                 static_cast<unsigned long long>(s.buffer.capacity()));
    std::abort();
  }
  if (g_trace) {
    std::fprintf(stderr, "  opcode %d: reply", opcode);
    const uint64_t shown = std::min<uint64_t>(s.buffer.length(), tmb::kFrameHeaderSize + 24);
    for (uint64_t i = tmb::kFrameHeaderSize; i < shown; ++i) {
      std::fprintf(stderr, " %02x", s.buffer.data()[i]);
    }
    std::fprintf(stderr, "%s\n", s.buffer.length() > shown ? " ..." : "");
  }
  NoteIds(c, opcode);
  // Environments get no lock wait (see KeepWaitsAndTraceOff).
  if (opcode == tmb::opcode::kSetEnvMode || opcode == tmb::opcode::kAllocEnv) {
    for (int32_t id : c.envs) {
      TMBEnvironment* env = GetOwnedEnvironmentById(id, static_cast<uint64_t>(s.conn.fd));
      if (env != nullptr) QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 0);
    }
  }
  KeepWaitsAndTraceOff();
  if (!tmb::SendFrame(s.conn, s.buffer, s.compression)) return false;
  c.Drain();
  return true;
}

bool MayWrite(uint8_t opcode) {
  return opcode == tmb::opcode::kExtWrite || opcode == tmb::opcode::kRemoveRecord ||
         opcode == tmb::opcode::kAddDictionary;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // tmpfs where there is one: the library syncs every write.
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/tmb-handlers-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  g_dir = pattern;
  g_trace = std::getenv("TMB_FUZZ_TRACE") != nullptr;
  std::atexit(RemoveScratch);
  g_catalog = new tmb::test::DemoCatalog(g_dir);
  tmb::SetCompressionCapability(tmb::LoadCompressionLibrary() ? tmb::kZlibCapability : 0);
  tmb::ServerSlots().Activate(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ResetGlobalSettings();
  FakeConnection connections[2];
  bool wrote = false;
  size_t at = 0;
  for (size_t n = 0; n < kMaxRequests && at + 2 <= size; ++n) {
    const bool second = (data[at] & 0x80) != 0;
    const size_t length = (size_t{data[at] & 0x7Fu} << 8) | data[at + 1];
    at += 2;
    const size_t take = std::min(length, size - at);
    std::vector<uint8_t> body(data + at, data + at + take);
    at += take;

    if (g_trace) std::fprintf(stderr, "connection %d, %zu bytes\n", second ? 2 : 1, take);
    FakeConnection& c = connections[second ? 1 : 0];
    FakeConnection& other = connections[second ? 0 : 1];
    // A connection that ended is replaced by a new one, as a client reconnects.
    if (c.session == nullptr) c.Open();
    Substitute(body, c, other);
    if (!body.empty() && MayWrite(body[0])) wrote = true;
    if (!Serve(c, body)) c.Close();
  }
  connections[0].Close();
  connections[1].Close();
  if (wrote) g_catalog->Restore();
  return 0;
}
