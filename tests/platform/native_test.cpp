// The native device family: names reaching sockets, pending reads and
// writes completed through events, cancels, waits and device controls. The
// test plays the device itself on a SOCK_SEQPACKET socket it listens on.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/native.h"
#include "platform/posix/sync.h"
#include "tests/tools/session_process.h"

namespace {

// 100 ns units per millisecond, for relative time-outs.
constexpr LONGLONG UNITS_PER_MS = 10000;
// For waits that must succeed: never reached when the runtime works.
constexpr LONGLONG LONG_WAIT = -10000 * UNITS_PER_MS;

// A device socket in the runtime directory, listening.
class DeviceSocket {
 public:
  DeviceSocket(const std::string &root, const std::string &relative) {
    std::string path = root + "/devices/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(listener_, 4);
  }
  ~DeviceSocket() {
    for (int fd : accepted_) close(fd);
    close(listener_);
  }
  int accept() {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    accepted_.push_back(fd);
    return fd;
  }

 private:
  int listener_;
  std::vector<int> accepted_;
};

struct Name {
  std::u16string text;
  UNICODE_STRING counted;
  OBJECT_ATTRIBUTES attributes;
  explicit Name(const std::u16string &t) : text(t) {
    counted = {USHORT(text.size() * 2), USHORT(text.size() * 2), text.data()};
    attributes = {sizeof(OBJECT_ATTRIBUTES), nullptr, &counted, 0, nullptr, nullptr};
  }
};

NTSTATUS open(const std::u16string &name, HANDLE *handle, ULONG options = 0) {
  Name n(name);
  IO_STATUS_BLOCK io;
  return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &n.attributes, &io, nullptr,
                      FILE_ATTRIBUTE_NORMAL, 0, FILE_CREATE, options, nullptr, 0);
}

HANDLE newEvent(EVENT_TYPE type = NotificationEvent) {
  HANDLE event = nullptr;
  EXPECT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, type, 0), STATUS_SUCCESS);
  return event;
}

NTSTATUS waitFor(HANDLE event, LONGLONG units) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = units;
  return ZwWaitForSingleObject(event, FALSE, &timeout);
}

class Native : public ::testing::Test {
 protected:
  void SetUp() override {
    handles_ = lvNativeHandlesLive();
    descriptors_ = openDescriptorCount();
  }
  void TearDown() override {
    lvNativeWaitCap(INFINITE);
    EXPECT_EQ(lvNativeHandlesLive(), handles_) << "every native handle closed";
  }
  // A Hookup channel "Echo": request and reply handles, the device's end.
  void openChannel(DeviceSocket &device) {
    ASSERT_EQ(open(u"\\Device\\Hookup\\req-Echo", &request_), STATUS_SUCCESS);
    ASSERT_EQ(open(u"\\Device\\Hookup\\rep-Echo", &reply_), STATUS_SUCCESS);
    peer_ = device.accept();
  }
  void closeChannel() {
    EXPECT_EQ(ZwClose(request_), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(reply_), STATUS_SUCCESS);
  }

  RuntimeDir dir_;
  long handles_ = 0;
  int descriptors_ = 0;
  HANDLE request_ = nullptr;
  HANDLE reply_ = nullptr;
  int peer_ = -1;
};

TEST_F(Native, NamesReachOnlyTheirOwnSockets) {
  HANDLE h = nullptr;
  EXPECT_EQ(open(u"\\Device\\Hookup\\req-Echo", &h), STATUS_OBJECT_NAME_NOT_FOUND) << "no server";
  DeviceSocket device(dir_.path(), "Hookup/Echo");
  EXPECT_EQ(open(u"\\Device\\Hookup\\rep-Echo", &h), STATUS_OBJECT_NAME_NOT_FOUND)
      << "a reply name shares a request's connection, and there is none";
  for (const char16_t *name : {u"\\Device\\Other", u"\\Device\\Hookup\\req-", u"\\device\\Hookup\\req-Echo",
                               u"\\Device\\Hookup\\req-Echo\\x"}) {
    EXPECT_EQ(open(name, &h), STATUS_OBJECT_NAME_NOT_FOUND);
  }
  EXPECT_EQ(open(u"\\Device\\Hookup\\req-Ec/ho", &h), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(open(u"\\Device\\Hookup\\req-Echo", &h, FILE_SYNCHRONOUS_IO_NONALERT),
            STATUS_INVALID_PARAMETER) << "handles are asynchronous only";
  Name short24(u"\\Device\\Hookup\\req-Echo");
  short24.attributes.Length = 24;
  IO_STATUS_BLOCK io;
  EXPECT_EQ(ZwCreateFile(&h, GENERIC_READ, &short24.attributes, &io, nullptr, 0, 0, FILE_CREATE, 0,
                         nullptr, 0),
            STATUS_INVALID_PARAMETER) << "the length must be the record's own on this word size";
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::group_read,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(open(u"\\Device\\Hookup\\req-Echo", &h), STATUS_OBJECT_NAME_NOT_FOUND)
      << "refused runtime directory";
  EXPECT_EQ(openDescriptorCount(), descriptors_ + 1) << "only the device's listener";
}

TEST_F(Native, PendingWriteAndReadCompleteThroughTheEvent) {
  DeviceSocket device(dir_.path(), "Hookup/Echo");
  openChannel(device);
  HANDLE event = newEvent();
  char request[4] = {1, 2, 3, 4};
  IO_STATUS_BLOCK written{}, read{};
  EXPECT_EQ(ZwWriteFile(request_, event, nullptr, nullptr, &written, request, 4, nullptr, nullptr),
            STATUS_PENDING);
  ASSERT_EQ(waitFor(event, LONG_WAIT), STATUS_SUCCESS);
  EXPECT_EQ(written.Status, STATUS_SUCCESS);
  EXPECT_EQ(written.Information, 4u);
  char got[8];
  EXPECT_EQ(recv(peer_, got, sizeof got, 0), 4);

  char reply[8] = {};
  EXPECT_EQ(ZwReadFile(reply_, event, nullptr, nullptr, &read, reply, 8, nullptr, nullptr),
            STATUS_PENDING);
  EXPECT_EQ(waitFor(event, 0), STATUS_TIMEOUT) << "the event was reset and nothing came yet";
  EXPECT_EQ(send(peer_, "abc", 3, 0), 3);
  ASSERT_EQ(waitFor(event, LONG_WAIT), STATUS_SUCCESS);
  EXPECT_EQ(read.Status, STATUS_SUCCESS);
  EXPECT_EQ(read.Information, 3u);
  EXPECT_EQ(std::string(reply), "abc");
  ZwClose(event);
  closeChannel();
}

TEST_F(Native, ReadsEndByTheMessageThatCame) {
  DeviceSocket device(dir_.path(), "Hookup/Echo");
  openChannel(device);
  HANDLE event = newEvent();
  auto readOne = [&](IO_STATUS_BLOCK &io) {
    char buffer[4];
    EXPECT_EQ(ZwReadFile(reply_, event, nullptr, nullptr, &io, buffer, 4, nullptr, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(waitFor(event, LONG_WAIT), STATUS_SUCCESS);
  };
  IO_STATUS_BLOCK io{};
  send(peer_, "", 0, 0);
  readOne(io);
  EXPECT_EQ(io.Status, STATUS_SUCCESS) << "an empty message";
  EXPECT_EQ(io.Information, 0u);
  send(peer_, "abcdef", 6, 0);
  readOne(io);
  EXPECT_EQ(io.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(io.Information, 4u);
  shutdown(peer_, SHUT_RDWR);
  readOne(io);
  EXPECT_EQ(io.Status, STATUS_PIPE_BROKEN) << "the device has gone";
  ZwClose(event);
  closeChannel();
}

TEST_F(Native, CancelAndCloseEndAPendingRead) {
  DeviceSocket device(dir_.path(), "Hookup/Echo");
  openChannel(device);
  HANDLE event = newEvent();
  char buffer[4];
  IO_STATUS_BLOCK io{}, cancel{};
  ASSERT_EQ(ZwReadFile(reply_, event, nullptr, nullptr, &io, buffer, 4, nullptr, nullptr),
            STATUS_PENDING);
  EXPECT_EQ(ZwReadFile(reply_, event, nullptr, nullptr, &io, buffer, 4, nullptr, nullptr),
            STATUS_DEVICE_BUSY) << "one operation per handle";
  EXPECT_EQ(ZwCancelIoFile(reply_, &cancel), STATUS_SUCCESS);
  EXPECT_EQ(io.Status, STATUS_CANCELLED) << "complete when the cancel returns";
  EXPECT_EQ(waitFor(event, 0), STATUS_SUCCESS);
  // Closed in the channel's order, the event before the handle whose
  // operation still sets it.
  ASSERT_EQ(ZwReadFile(reply_, event, nullptr, nullptr, &io, buffer, 4, nullptr, nullptr),
            STATUS_PENDING);
  EXPECT_EQ(ZwClose(event), STATUS_SUCCESS);
  closeChannel();
  EXPECT_EQ(io.Status, STATUS_CANCELLED);
}

TEST_F(Native, WaitsConvertTheirTimeOutsAndKeepTheEventsKind) {
  HANDLE notification = newEvent();
  // Capped at 0 ms: each wait times out at once and still reports what it
  // asked for.
  lvNativeWaitCap(0);
  EXPECT_EQ(waitFor(notification, -1), STATUS_TIMEOUT);
  EXPECT_EQ(lvNativeLastWaitMs(), 1u) << "rounded up, never shorter than asked";
  EXPECT_EQ(waitFor(notification, -5000 * UNITS_PER_MS - 1), STATUS_TIMEOUT);
  EXPECT_EQ(lvNativeLastWaitMs(), 5001u);
  EXPECT_EQ(ZwWaitForSingleObject(notification, TRUE, nullptr), STATUS_TIMEOUT);
  EXPECT_EQ(lvNativeLastWaitMs(), INFINITE);
  lvNativeWaitCap(INFINITE);
  EXPECT_EQ(waitFor(notification, 1), STATUS_INVALID_PARAMETER) << "absolute times are left out";
  EXPECT_EQ(ZwClose(notification), STATUS_SUCCESS);
  HANDLE plain = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(waitFor(plain, 0), STATUS_SUCCESS) << "events of the other family too";
  EXPECT_EQ(waitFor(plain, 0), STATUS_TIMEOUT) << "auto-reset";
  EXPECT_EQ(ZwClose(plain), STATUS_SUCCESS);
}

// Answers one device control with the given bytes after checking it.
std::thread answerOnce(DeviceSocket &device, std::vector<unsigned char> answer) {
  return std::thread([&device, answer] {
    int fd = device.accept();
    unsigned char request[64];
    ssize_t n = recv(fd, request, sizeof request, 0);
    EXPECT_EQ(n, 12) << "code, output capacity, the 4 input bytes";
    EXPECT_EQ(request[0] | request[1] << 8 | request[2] << 16, 0x1101A0);
    send(fd, answer.data(), answer.size(), 0);
  });
}

TEST_F(Native, DeviceControlIsOneExchange) {
  DeviceSocket device(dir_.path(), "KVTKernelAccess");
  const struct {
    std::vector<unsigned char> answer;
    NTSTATUS status;
    ULONG_PTR copied;
  } cases[] = {
      {{0, 0, 0, 0, 42, 0, 0, 0}, STATUS_SUCCESS, 4},
      {{0, 0, 0, 0, 42, 0, 0, 0, 9, 9}, STATUS_SUCCESS, 4},  // cut to the capacity
      {{0x01, 0x00, 0x00, 0xC0}, STATUS_UNSUCCESSFUL, 0},
      {{0, 0}, STATUS_UNSUCCESSFUL, 0},                      // no whole status
  };
  for (const auto &c : cases) {
    HANDLE h = nullptr;
    ASSERT_EQ(open(u"\\Device\\KVTKernelAccess", &h), STATUS_SUCCESS);
    std::thread server = answerOnce(device, c.answer);
    unsigned char input[4] = {}, output[4] = {};
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(ZwDeviceIoControlFile(h, nullptr, nullptr, nullptr, &io, 0x001101A0, input, 4, output,
                                    4),
              c.status);
    server.join();
    EXPECT_EQ(io.Information, c.copied);
    if (c.copied) {
      EXPECT_EQ(output[0], 42);
    }
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, output, 4, nullptr, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  }
}

}  // namespace
