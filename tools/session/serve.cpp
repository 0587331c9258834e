// The objects of one session and the single-threaded poll loop that serves
// them.
//
// The device sockets are SOCK_SEQPACKET, as the runtime's native device
// family connects to them: one message per request and per answer. Every
// object is in place (sockets listening, record renamed into mappings/)
// before the ready line is printed, so a client that has read the line
// finds everything it may ask for.
#include "tools/session/serve.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/posix/rundir.h"
#include "platform/secrets.h"
#include "tools/common/keyfile.h"

namespace {

constexpr uint32_t QUERY_SESSION_CODE = 0x001101A0;  // the driver's control code
constexpr uint32_t STATUS_INVALID_DEVICE_REQUEST = 0xC0000010;
constexpr size_t RECORD_BYTES = 84;  // the fields the driver reads
constexpr size_t MESSAGE_MAX = 512;  // longest request read, bytes
constexpr size_t CLIENTS_MAX = 64;   // connections served at once
constexpr int LISTEN_BACKLOG = 16;

int signalPipe[2] = {-1, -1};  // written by the signal handler

void onSignal(int) {
  int saved = errno;
  char byte = 's';
  ssize_t ignored = write(signalPipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

enum class Role { KERNEL_LISTENER, HOOKUP_LISTENER, KERNEL_CLIENT, HOOKUP_CLIENT };

struct Endpoint {
  int fd;
  Role role;
};

// Everything made, removed in the reverse order at the end.
struct Made {
  std::vector<std::string> files;
  std::vector<std::string> directories;
};

bool fail(const std::string &what) {
  std::fprintf(stderr, "lumivox-session: %s: %s\n", what.c_str(), std::strerror(errno));
  return false;
}

// Makes a private directory unless it exists; an existing one must pass the
// runtime's checks.
bool makeDirectory(const std::string &path, Made &made) {
  if (mkdir(path.c_str(), 0700) == 0) {
    made.directories.push_back(path);
    chmod(path.c_str(), 0700);  // the umask may have taken bits away
    return true;
  }
  if (errno != EEXIST) return fail("cannot make " + path);
  if (!lvRuntimeDirAcceptable(path.c_str())) {
    errno = EPERM;
    return fail(path + " is not a directory of this user with mode 0700");
  }
  return true;
}

// Writes dir/name (mode 0600) with the bytes, through a file beside it
// that is renamed into place: a reader never sees it half written or
// shrunk.
bool publishFile(const std::string &dir, const std::string &name, const void *bytes, size_t size,
                 Made &made) {
  std::string temporary = dir + "/." + name + ".new", path = dir + "/" + name;
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fail("cannot write " + temporary);
  bool written = write(fd, bytes, size) == ssize_t(size);
  close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return fail("cannot publish " + path);
  }
  made.files.push_back(path);
  return true;
}

bool writeRecord(const std::string &dir, const SessionOptions &o, Made &made) {
  unsigned char record[4096] = {};  // --record-bytes is at most 4096
  store32(record + 0, o.address);   // host order, stored little-endian
  store32(record + 4, o.display);
  store32(record + 16, o.valid ? 1 : 0);
  store32(record + 76, o.overrideAddress);
  store32(record + 80, o.overrideDisplay);
  return publishFile(dir, "XDisplayAddress-" + std::to_string(o.recordSession), record,
                     o.recordBytes, made);
}

// Listens on a SOCK_SEQPACKET socket at path. A socket file left by a
// session that has gone is replaced; one that answers is not.
bool listenAt(const std::string &path, Role role, std::vector<Endpoint> &endpoints, Made &made) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return fail(path);
  }
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  bool live = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(probe);
  if (live) {
    errno = EADDRINUSE;
    return fail(path + " is served already");
  }
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(fd, LISTEN_BACKLOG) != 0) {
    if (fd >= 0) close(fd);
    return fail("cannot listen at " + path);
  }
  made.files.push_back(path);
  endpoints.push_back({fd, role});
  return true;
}

// A new session starts with an empty name space, as a new logon does: the
// device names an earlier session left in the directory (a server marked
// unreachable, say) go. Returns how many went.
int clearDeviceNames(const std::string &dir) {
  std::string folder = dir + "/dosdevices";
  DIR *names = opendir(folder.c_str());
  if (!names) return 0;
  int removed = 0;
  while (dirent *entry = readdir(names)) {
    if (entry->d_name[0] == '.') continue;
    if (unlinkat(dirfd(names), entry->d_name, 0) == 0) ++removed;
  }
  closedir(names);
  return removed;
}

std::string dottedAddress(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
         std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

// Publishes the server's key for every terminal address the session names,
// as keys/ADDRESS (mode 0600, renamed into place). A --key-file that cannot
// be read is an error; the default file may be missing (no server of this
// user on this machine), and is then skipped with a note.
bool publishKeys(const SessionOptions &o, const std::string &dir, Made &made) {
  if (o.noKey) return true;
  std::vector<uint32_t> addresses;
  for (uint32_t a : {o.publishRecord ? o.address : 0u, o.publishRecord ? o.overrideAddress : 0u}) {
    if (a) addresses.push_back(a);
  }
  for (const auto &[session, a] : o.hookupAddresses) {
    if (a) addresses.push_back(a);
  }
  if (addresses.empty()) return true;
  std::string path = o.keyFile.empty() ? keyFileDefault() : o.keyFile;
  uint8_t key[KEY_BYTES];
  std::string error;
  if (path.empty() || keyFileLoad(path, false, key, error) == KeyFileResult::FAILED) {
    if (!o.keyFile.empty()) {
      std::fprintf(stderr, "lumivox-session: %s\n", error.c_str());
      return false;
    }
    std::fprintf(stderr, "lumivox-session: no key published (%s)\n",
                 path.empty() ? "neither XDG_CONFIG_HOME nor HOME is set" : error.c_str());
    return true;
  }
  char text[KEY_TEXT_CHARS + 2];
  keyTextFormat(key, text);
  text[KEY_TEXT_CHARS] = '\n';
  std::string folder = dir + "/" LV_USER_KEYS_FOLDER;
  if (!makeDirectory(folder, made)) return false;
  for (uint32_t a : addresses) {
    if (!publishFile(folder, dottedAddress(a), text, sizeof text - 1, made)) return false;
  }
  return true;
}

bool makeObjects(const SessionOptions &o, const std::string &dir, std::vector<Endpoint> &endpoints,
                 Made &made) {
  if (!makeDirectory(dir, made)) return false;
  if (int removed = clearDeviceNames(dir)) {
    std::fprintf(stderr,
                 "lumivox-session: removed %d device name%s an earlier session left (marks of "
                 "unreachable servers among them)\n",
                 removed, removed == 1 ? "" : "s");
  }
  if (o.publishRecord &&
      !(makeDirectory(dir + "/mappings", made) && writeRecord(dir + "/mappings", o, made))) {
    return false;
  }
  if (!publishKeys(o, dir, made)) return false;
  if ((o.serveKernel || o.serveHookup) && !makeDirectory(dir + "/devices", made)) return false;
  if (o.serveKernel &&
      !listenAt(dir + "/devices/KVTKernelAccess", Role::KERNEL_LISTENER, endpoints, made)) {
    return false;
  }
  if (o.serveHookup &&
      !(makeDirectory(dir + "/devices/Hookup", made) &&
        listenAt(dir + "/devices/Hookup/CSSQueryIP", Role::HOOKUP_LISTENER, endpoints, made))) {
    return false;
  }
  return true;
}

void removeMade(const Made &made) {
  for (auto f = made.files.rbegin(); f != made.files.rend(); ++f) unlink(f->c_str());
  for (auto d = made.directories.rbegin(); d != made.directories.rend(); ++d) rmdir(d->c_str());
}

void sendMessage(int fd, const unsigned char *bytes, size_t length) {
  send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// [u32 code][u32 output capacity][input] -> [u32 status][output].
void answerKernel(const SessionOptions &o, int fd, const unsigned char *m, size_t n) {
  unsigned char answer[8];
  bool query = n == 12 && load32(m) == QUERY_SESSION_CODE && load32(m + 4) >= 4;
  store32(answer, query ? o.sessionStatus : STATUS_INVALID_DEVICE_REQUEST);
  store32(answer + 4, uint32_t(o.session));
  bool withOutput = query && int32_t(o.sessionStatus) >= 0;
  sendMessage(fd, answer, withOutput ? 8 : 4);
}

// The request is the session number as a little-endian dword; the answer
// is the address in network order. Returns false to close the connection.
bool answerHookup(const SessionOptions &o, int fd, const unsigned char *m, size_t n) {
  uint32_t address = 0;
  if (n == 4) {
    auto known = o.hookupAddresses.find(int32_t(load32(m)));
    if (known != o.hookupAddresses.end()) address = known->second;
  }
  unsigned char answer[4] = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                             uint8_t(address)};
  switch (o.hookupReply) {
    case HookupReply::ADDRESS:
      sendMessage(fd, answer, 4);
      return true;
    case HookupReply::ZERO:
      std::memset(answer, 0, 4);
      sendMessage(fd, answer, 4);
      return true;
    case HookupReply::SHORT:
      sendMessage(fd, answer, 2);
      return true;
    case HookupReply::EMPTY:
      sendMessage(fd, answer, 0);
      return true;
    case HookupReply::SILENT:
      return true;
    case HookupReply::HANGUP:
      return false;
  }
  return false;
}

// Serves one ready endpoint. Returns false when it is to be closed.
bool serveEndpoint(const SessionOptions &o, Endpoint &e, std::vector<Endpoint> &added,
                   size_t clients) {
  if (e.role == Role::KERNEL_LISTENER || e.role == Role::HOOKUP_LISTENER) {
    int client = accept4(e.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) return true;
    if (clients + added.size() >= CLIENTS_MAX) {
      close(client);  // over the bound: the caller sees its peer gone
      return true;
    }
    added.push_back(
        {client, e.role == Role::KERNEL_LISTENER ? Role::KERNEL_CLIENT : Role::HOOKUP_CLIENT});
    return true;
  }
  unsigned char message[MESSAGE_MAX];
  ssize_t n = recv(e.fd, message, sizeof message, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (n == 0) return false;  // the client has gone (or sent nothing worth answering)
  if (e.role == Role::KERNEL_CLIENT) {
    answerKernel(o, e.fd, message, size_t(n));
    return true;
  }
  return answerHookup(o, e.fd, message, size_t(n));
}

void serveLoop(const SessionOptions &o, std::vector<Endpoint> &endpoints) {
  for (;;) {
    std::vector<pollfd> polled;
    polled.push_back({signalPipe[0], POLLIN, 0});
    for (const Endpoint &e : endpoints) polled.push_back({e.fd, POLLIN, 0});
    if (poll(polled.data(), polled.size(), -1) < 0) {  // no limit: requests or a signal end it
      if (errno == EINTR) continue;
      return;
    }
    if (polled[0].revents) return;
    std::vector<Endpoint> kept, added;
    size_t clients = 0;
    for (const Endpoint &e : endpoints) {
      if (e.role == Role::KERNEL_CLIENT || e.role == Role::HOOKUP_CLIENT) ++clients;
    }
    for (size_t i = 0; i < endpoints.size(); ++i) {
      Endpoint &e = endpoints[i];
      if (polled[i + 1].revents && !serveEndpoint(o, e, added, clients)) {
        close(e.fd);
        continue;
      }
      kept.push_back(e);
    }
    kept.insert(kept.end(), added.begin(), added.end());
    endpoints.swap(kept);
  }
}

}  // namespace

int sessionServe(const SessionOptions &options) {
  char candidate[LV_RUNDIR_PATH_MAX];
  std::string dir = options.runtimeDir;
  if (dir.empty()) {
    if (!lvRuntimeDirCandidate(candidate, sizeof candidate)) {
      std::fprintf(stderr, "lumivox-session: the runtime directory's path is too long\n");
      return 1;
    }
    dir = candidate;
  }
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe"), 1;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::vector<Endpoint> endpoints;
  Made made;
  int status = 1;
  if (makeObjects(options, dir, endpoints, made)) {
    std::printf("lumivox-session: ready %s\n", dir.c_str());
    std::fflush(stdout);
    serveLoop(options, endpoints);
    status = 0;
  }
  for (const Endpoint &e : endpoints) close(e.fd);
  removeMade(made);
  return status;
}
