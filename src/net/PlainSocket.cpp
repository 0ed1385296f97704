// The socket contract over a plain TCP connection: connection, receive buffer and readers.
#include "PlainSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <typeinfo>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "DeadlinePoll.h"
#include "RetryOnEintr.h"
#include "ScopedSignalBlock.h"
#include "SysUtils.h"
#include "TextException.h"

namespace {

OnceFlag network_startup_flag{0};

// Linux needs no network-library start-up; the call stays so every platform
// passes through the same once-only gate.
void StartNetwork() {}

constexpr int kSocketBufferBytes = 131072;
constexpr std::size_t kHostNameCapacity = sizeof(PlainSocket::host_name) - 1;

void SetIntOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

// Parses a dotted IPv4 address, or resolves the name to its first IPv4 address.
bool ResolveIPv4(const char* host, in_addr& address) {
  if (inet_pton(AF_INET, host, &address) == 1) {
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// Descriptor 0 counts as "no socket", so a socket that lands there (stdin closed)
// is moved to a higher number instead of being leaked as invisible.
int MoveOffZero(int fd) {
  if (fd != 0) {
    return fd;
  }
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  close(fd);
  return moved;
}

// A connect interrupted by a signal goes on in the kernel; wait for its outcome.
bool FinishInterruptedConnect(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  const int ready = RetryOnEintr([&] { return poll(&entry, 1, -1); });
  int error = 0;
  socklen_t size = sizeof error;
  return ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

bool ConnectBlocking(int fd, const sockaddr_in& address) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return true;
  }
  return errno == EINTR && FinishInterruptedConnect(fd);
}

// Connects without blocking and waits for the outcome in slices, asking `go_on` between
// them; the descriptor is blocking again afterwards, whatever the outcome.
bool ConnectInSlices(int fd, const sockaddr_in& address, const std::function<bool()>& go_on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    return false;
  }
  bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
      int ready = RetryOnEintr([&] { return poll(&entry, 1, WAIT_SLICE_MICROSECONDS / 1000); });
      if (ready != 0) {
        int error = 0;
        socklen_t size = sizeof error;
        connected =
            ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        break;
      }
      if (!go_on()) {
        break;
      }
    }
  }
  fcntl(fd, F_SETFL, flags);
  return connected;
}

// Only a descriptor someone made non-blocking reports EAGAIN; wait until it can take more.
void WaitWritable(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  RetryOnEintr([&] { return poll(&entry, 1, -1); });
}

// Interrupted sends are retried where they are made, with RetryOnEintr.
bool IsRetryableSendError(int error, int fd) {
  if (error == EAGAIN || error == EWOULDBLOCK) {
    WaitWritable(fd);
    return true;
  }
  return false;
}

// Receive() found nothing there yet; only with MSG_DONTWAIT.
constexpr int kWouldBlock = -1000;

bool IsConnectionEndedError(int error);

// Where the first bytes of a receive go instead of the buffer: the caller's destination.
// A reader that receives there saves copying every byte out of the buffer again.
struct Front {
  char* data = nullptr;
  int size = 0;
};

// recv() of `size` bytes at `data`, resumed after signals.
ssize_t ReceiveInto(int fd, char* data, int size, int flags) {
  return RetryOnEintr([&] { return recv(fd, data, static_cast<std::size_t>(size), flags); });
}

// One receive into the front part and then the buffer's free space, which the caller has made
// sure of: the count of bytes taken, or with the socket closed SOCK_DISCONNECTED for the end of
// the connection and SOCK_ERROR for a failure. The receive asks for as many bytes as the free
// space alone would take, so the front changes where the bytes land and nothing else.
int Receive(PlainSocket& socket, int flags, Front front = {}) {
  const int free = RECV_BUFFER_CAPACITY - socket.recv_count;
  char* space = socket.recv_buffer + socket.recv_count;
  front.size = std::clamp(front.size, 0, free);
  ssize_t n;
  if (front.size == 0) {
    n = ReceiveInto(socket.handle, space, free, flags);
  } else if (front.size == free) {
    n = ReceiveInto(socket.handle, front.data, front.size, flags);
  } else {
    iovec parts[2] = {{front.data, static_cast<std::size_t>(front.size)},
                      {space, static_cast<std::size_t>(free - front.size)}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    n = RetryOnEintr([&] { return recvmsg(socket.handle, &message, flags); });
  }
  if (n > 0) {
    socket.recv_count += static_cast<std::int32_t>(std::max<ssize_t>(n - front.size, 0));
    socket.recv_buffer[socket.recv_count] = '\0';
    return static_cast<int>(n);
  }
  if (n == 0) {
    socket.Close();
    return SOCK_DISCONNECTED;
  }
  int error = errno;
  // Without waiting, nothing there yet and a descriptor that poll() judges better are left
  // to the wait; any other error is what the wait's own recv() would have met.
  const bool leftToWait = error == EAGAIN || error == EWOULDBLOCK || error == EBADF ||
                          error == ENOTSOCK || error == EINVAL || error == EFAULT;
  if ((flags & MSG_DONTWAIT) != 0 && leftToWait) {
    return kWouldBlock;
  }
  socket.Close();
  if (IsConnectionEndedError(error)) {
    socket.state = SOCK_STATE_DISCONNECTED;
    return SOCK_DISCONNECTED;
  }
  socket.state = SOCK_STATE_ERROR;
  return SOCK_ERROR;
}

bool IsConnectionEndedError(int error) {
  switch (error) {
    case ENETRESET:
    case ECONNABORTED:
    case ECONNRESET:
    case ENOTCONN:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// Copies the file from its current position to its end into the socket.
// Returns the bytes sent; `complete` tells whether the end of the file was reached.
off_t TransmitFile(int socket, int file, bool& complete) {
  constexpr std::size_t kMaxChunk = 0x7ffff000;  // the most one sendfile() moves
  // sendfile() has no MSG_NOSIGNAL: a peer that has gone would raise SIGPIPE.
  const ScopedSignalBlock no_sigpipe(SIGPIPE);
  off_t sent = 0;
  for (;;) {
    ssize_t n = RetryOnEintr([&] { return sendfile(socket, file, nullptr, kMaxChunk); });
    if (n > 0) {
      sent += n;
    } else if (n == 0) {
      complete = true;
      return sent;
    } else if (!IsRetryableSendError(errno, socket)) {
      complete = false;
      return sent;
    }
  }
}

// WaitForData's receive without its test of the buffered bytes; bytes go to `front` first.
int WaitAndReceive(PlainSocket& socket, const Deadline& limit, Front front) {
  if (socket.state != SOCK_STATE_CONNECTED) {
    return SOCK_DISCONNECTED;
  }
  // Bytes that are already there are taken without asking poll() first: a long answer
  // arrives faster than it is read, and a wait per fill costs a system call per chunk.
  if (socket.recv_count < RECV_BUFFER_CAPACITY && socket.EnsureBuffer()) {
    const int got = Receive(socket, MSG_DONTWAIT, front);
    if (got != kWouldBlock) {
      return got;
    }
  }
  for (;;) {
    // read_set is kept for its place among the fields; poll() does the waiting,
    // so the set is only refreshed where a select set can hold the descriptor.
    FD_ZERO(&socket.read_set);
    if (socket.handle >= 0 && socket.handle < FD_SETSIZE) {
      FD_SET(socket.handle, &socket.read_set);
    }
    short revents = 0;
    int ready = PollUntil(socket.handle, POLLIN, limit, revents);
    if (ready < 0 || (ready > 0 && (revents & POLLNVAL) != 0)) {
      socket.Close();
      return SOCK_ERROR;
    }
    if (ready == 0) {
      return SOCK_TIMEOUT;
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      // FillBuffer's tests, which a front does not change, hold here: connected, room left.
      return front.size > 0 ? Receive(socket, 0, front) : socket.FillBuffer();
    }
  }
}

// Only the plain transport's own receive can put bytes into the caller's memory: a derived
// socket fills the buffer its own way (TLS decrypts into it) and is read through it.
bool ReceivesDirectly(const PlainSocket& socket) { return typeid(socket) == typeid(PlainSocket); }

// Which byte sequence ends a delimited read, and how a reader behaves around it.
struct Delimiter {
  enum class Kind { Byte, Char, Text };
  Kind kind;
  char byte;
  const char* text;
  std::size_t text_length;
};

// Length of the buffered data read as a 0-terminated string.
std::size_t StringLength(const char* data, std::size_t count) {
  const char* zero = FindByte(data, count, '\0');
  return zero != nullptr ? static_cast<std::size_t>(zero - data) : count;
}

// Bytes up to and including the delimiter in the buffered data, or 0 when it is
// not there. The byte search starts at `from`, bytes before it being known not to
// match; the string searches look at the data up to its first 0 byte and may match
// the terminator behind it, exactly as a C string search would.
std::size_t FindDelimiter(const char* data, std::size_t count, std::size_t from,
                          const Delimiter& delimiter) {
  if (delimiter.kind == Delimiter::Kind::Byte) {
    const char* found =
        count > from ? FindByte(data + from, count - from, delimiter.byte) : nullptr;
    return found != nullptr ? static_cast<std::size_t>(found - data) + 1 : 0;
  }
  std::size_t length = StringLength(data, count);
  if (delimiter.kind == Delimiter::Kind::Char) {
    if (delimiter.byte == '\0') {
      return length + 1;
    }
    const char* found = FindByte(data, length, delimiter.byte);
    return found != nullptr ? static_cast<std::size_t>(found - data) + 1 : 0;
  }
  const void* found = memmem(data, length, delimiter.text, delimiter.text_length);
  return found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - data) +
                                delimiter.text_length
                          : 0;
}

// Shared body of the delimited readers; `delivered` receives the number of bytes
// put into the destination, whatever the result.
class DelimitedReader {
 public:
  DelimitedReader(PlainSocket& socket, const Delimiter& delimiter)
      : socket_(socket), delimiter_(delimiter) {}

  int Read(char* destination, int length, int seconds, int microseconds, int& delivered);

 private:
  int ReadDelimited(char* destination, int length, int seconds, int microseconds, int& delivered);
  int ReadDirect(char* destination, int length, int seconds, int microseconds, int& delivered);
  bool TryBuffered(char* destination, int length, int& result, int& delivered);

  PlainSocket& socket_;
  const Delimiter& delimiter_;
  // Buffered bytes already searched in this call: data only grows behind them
  // until the call delivers, so a long answer is not searched again on each wait.
  std::size_t searched_ = 0;
};

// Serves the read from the buffered bytes when they settle it; false when more must come.
bool DelimitedReader::TryBuffered(char* destination, int length, int& result, int& delivered) {
  if (socket_.recv_count <= 0) {
    return false;
  }
  auto count = static_cast<std::size_t>(socket_.recv_count);
  auto wanted = static_cast<std::size_t>(length);
  std::size_t n = FindDelimiter(socket_.recv_buffer, count, searched_, delimiter_);
  searched_ = count;
  if (n > 0 && n <= wanted) {
    delivered = socket_.TakeReceived(destination, static_cast<unsigned>(n), false);
    result = delivered;
    return true;
  }
  if (n > wanted || wanted <= count) {
    // Only the byte reader leaves no 0 behind a chunk cut before its delimiter.
    bool raw = n > wanted && delimiter_.kind == Delimiter::Kind::Byte;
    delivered = socket_.TakeReceived(destination, static_cast<unsigned>(length), raw);
    result = 0;
    return true;
  }
  return false;
}

int DelimitedReader::Read(char* destination, int length, int seconds, int microseconds,
                          int& delivered) {
  delivered = 0;
  if (destination == nullptr || length < 0) {
    return SOCK_ERROR;
  }
  if (delimiter_.kind == Delimiter::Kind::Text &&
      (delimiter_.text == nullptr || delimiter_.text_length == 0)) {
    return SOCK_ERROR;  // an empty delimiter would match before any byte, for ever
  }
  if (length == 0) {
    return 0;
  }
  // The destination's first `length` bytes end up 0 wherever nothing was delivered. Only
  // those are cleared, afterwards: clearing all of them first would write every full chunk twice.
  int result = ReadDelimited(destination, length, seconds, microseconds, delivered);
  const auto kept = static_cast<std::size_t>(std::max(delivered, 0));
  if (kept < static_cast<std::size_t>(length)) {
    std::memset(destination + kept, 0, static_cast<std::size_t>(length) - kept);
  }
  return result;
}

int DelimitedReader::ReadDelimited(char* destination, int length, int seconds, int microseconds,
                                   int& delivered) {
  if (socket_.state != SOCK_STATE_CONNECTED) {
    return delimiter_.kind == Delimiter::Kind::Char ? SOCK_ERROR : SOCK_DISCONNECTED;
  }
  if (!socket_.EnsureBuffer()) {
    return SOCK_ERROR;
  }
  // More than the buffer can hold would wait on a full buffer for ever; a capped
  // chunk ends with result 0 and the caller reads on, as for any full chunk.
  length = std::min(length, RECV_BUFFER_CAPACITY);
  if (delimiter_.kind == Delimiter::Kind::Byte && ReceivesDirectly(socket_)) {
    return ReadDirect(destination, length, seconds, microseconds, delivered);
  }
  int result = 0;
  while (!TryBuffered(destination, length, result, delivered)) {
    if (socket_.WaitForData(true, seconds, microseconds) <= 0) {
      delivered = socket_.TakeReceived(destination, static_cast<unsigned>(length), false);
      return socket_.state == SOCK_STATE_CONNECTED ? SOCK_TIMEOUT : SOCK_DISCONNECTED;
    }
  }
  return result;
}

// ReadDelimited for a byte delimiter on the plain transport, with the same results. Once the
// buffered bytes do not settle the read they move to the destination, and the receives put
// their bytes there too, the part beyond `length` into the buffer: a long answer is copied
// once, by the kernel, and each byte searched once.
int DelimitedReader::ReadDirect(char* destination, int length, int seconds, int microseconds,
                                int& delivered) {
  int result = 0;
  if (TryBuffered(destination, length, result, delivered)) {
    return result;
  }
  // Fewer than `length` bytes are buffered, none of them the delimiter.
  int held = socket_.TakeReceived(destination, static_cast<unsigned>(socket_.recv_count), true);
  for (;;) {
    const Front front{destination + held, length - held};
    const int got = WaitAndReceive(socket_, DeadlineAfter(seconds, microseconds), front);
    if (got <= 0) {
      // A timeout delivers what came; the end of the connection dropped it with the buffer.
      const bool connected = socket_.state == SOCK_STATE_CONNECTED;
      delivered = connected ? held : 0;
      return connected ? SOCK_TIMEOUT : SOCK_DISCONNECTED;
    }
    const int arrived = std::min(got, front.size);
    const char* found = FindByte(front.data, static_cast<std::size_t>(arrived), delimiter_.byte);
    held += arrived;
    if (found != nullptr) {
      // The bytes behind the delimiter go back in front of those the receive buffered.
      const int n = static_cast<int>(found - destination) + 1;
      const int rest = held - n;
      std::memmove(socket_.recv_buffer + rest, socket_.recv_buffer,
                   static_cast<std::size_t>(socket_.recv_count) + 1);
      std::memcpy(socket_.recv_buffer, destination + n, static_cast<std::size_t>(rest));
      socket_.recv_count += rest;
      destination[n] = '\0';
      delivered = n;
      return n;
    }
    if (held == length) {
      // A full chunk: as from the buffer, the byte behind it stays as it was only when the
      // delimiter is among the bytes already buffered.
      if (FindByte(socket_.recv_buffer, static_cast<std::size_t>(socket_.recv_count),
                   delimiter_.byte) == nullptr) {
        destination[length] = '\0';
      }
      delivered = length;
      return 0;
    }
  }
}

// The text forms read into the text's own storage (size() + 1 bytes, the last
// one the terminator) and keep exactly the bytes that were delivered.
int ReadIntoText(PlainSocket& socket, std::string& text, int length, const Delimiter& delimiter,
                 int seconds, int microseconds) {
  if (length < 0) {
    text.clear();
    return SOCK_ERROR;
  }
  text.assign(static_cast<std::size_t>(length), '\0');
  int delivered = 0;
  int result = DelimitedReader(socket, delimiter)
                   .Read(text.data(), length, seconds, microseconds, delivered);
  text.resize(static_cast<std::size_t>(std::max(delivered, 0)));
  return result;
}

Delimiter ByteDelimiter(char byte) { return {Delimiter::Kind::Byte, byte, nullptr, 0}; }
Delimiter CharDelimiter(char c) { return {Delimiter::Kind::Char, c, nullptr, 0}; }
Delimiter TextDelimiter(const char* text) {
  return {Delimiter::Kind::Text, '\0', text, text != nullptr ? std::strlen(text) : 0};
}

// Sends the rest of an open file; a transmission that stops short is a failure,
// and bytes_sent then says how far it got.
int SendOpenFile(PlainSocket& socket, FileHandle file) {
  struct stat info {};
  std::uint32_t size = fstat(file, &info) == 0 ? static_cast<std::uint32_t>(info.st_size) : 0;
  socket.bytes_sent = 0;
  socket.file_size = 0;
  socket.sending_file = true;
  bool complete = false;
  off_t sent = TransmitFile(socket.handle, file, complete);
  socket.bytes_sent = complete ? size : static_cast<std::uint32_t>(sent);
  socket.file_size = size;
  socket.sending_file = false;
  return complete ? SOCK_SUCCESS : SOCK_ERROR;
}

}  // namespace

PlainSocket::PlainSocket() { PlainSocket::Init(nullptr); }

PlainSocket::~PlainSocket() {
  if (derived_cleanup == 0) {
    PlainSocket::Cleanup();
  }
}

void PlainSocket::Init(ssl_ctx_st* /*context*/) {
  CallOnce(network_startup_flag, StartNetwork);
  // A derived Init that runs this again keeps the block it already has.
  if (recv_buffer == nullptr) {
    recv_buffer = static_cast<char*>(MemoryAlloc(RECV_BUFFER_SIZE, false));
    if (recv_buffer == nullptr) {
      throw TextException("PlainSocket::Init()::recv_buffer allocate failed");
    }
  }
  handle = 0;
  derived_cleanup = 0;
  state = SOCK_STATE_DISCONNECTED;
  sending_file = false;
  bytes_sent = 0;
  file_size = 0;
  ClearBuffer();
  borrowed = false;
}

void PlainSocket::Cleanup() {
  if (recv_buffer != nullptr) {
    MemoryRelease(recv_buffer);
  }
  CloseSocket();
}

void PlainSocket::ClearBuffer() {
  recv_count = 0;
  if (recv_buffer != nullptr) {
    std::memset(recv_buffer, 0, RECV_BUFFER_SIZE);
  }
}

bool PlainSocket::EnsureBuffer() {
  if (recv_buffer == nullptr) {
    recv_buffer = static_cast<char*>(MemoryAlloc(RECV_BUFFER_SIZE, true));
  }
  return recv_buffer != nullptr;
}

bool PlainSocket::IsValidSocket(SocketHandle socket) {
  // Every negative value is invalid, not only -1: poll() would silently skip it.
  return socket > 0;
}

void PlainSocket::ApplySocketOptions() {
  if (!IsValidSocket(handle)) {
    return;
  }
  SetIntOption(handle, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetIntOption(handle, SOL_SOCKET, SO_SNDBUF, kSocketBufferBytes);
  SetIntOption(handle, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
  SetIntOption(handle, IPPROTO_TCP, TCP_NODELAY, 1);
}

int PlainSocket::TCPConnect(const char* host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (host == nullptr || port < 0 || port > 65535 || !ResolveIPv4(host, address.sin_addr)) {
    return SOCK_ERROR;
  }
  handle = MoveOffZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  ApplySocketOptions();
  SetIntOption(handle, SOL_SOCKET, SO_REUSEADDR, 1);
  try {
    const bool connected =
        wait_hook ? ConnectInSlices(handle, address, wait_hook) : ConnectBlocking(handle, address);
    if (!connected) {
      throw TextException("TCPConnect() -- connect failed");
    }
  } catch (const TextException&) {
    return SOCK_ERROR;
  }
  return SOCK_SUCCESS;
}

int PlainSocket::Connect(const char* host, int port) {
  Close();
  state = SOCK_STATE_DISCONNECTED;
  // Close keeps the bytes of a connection that failed; the new peer must not seem to send them.
  ClearBuffer();
  // The new handle is always our own, even after a borrowed one; it must be closed by us.
  borrowed = false;
  // A name that does not fit host_name is refused rather than cut to another name.
  if (host == nullptr || std::strlen(host) > kHostNameCapacity) {
    return -2;
  }
  std::strcpy(host_name, host);
  if (TCPConnect(host, port) != SOCK_SUCCESS) {
    return -2;
  }
  state = SOCK_STATE_CONNECTED;
  ApplySocketOptions();
  return SOCK_SUCCESS;
}

int PlainSocket::Attach(SocketHandle socket, bool borrow) {
  borrowed = borrow;
  Close();
  if (!IsValidSocket(socket)) {
    return SOCK_ERROR;
  }
  ClearBuffer();  // as in Connect: nothing of an earlier, failed connection is kept
  state = SOCK_STATE_CONNECTED;
  handle = socket;
  ApplySocketOptions();
  return SOCK_SUCCESS;
}

void PlainSocket::Close() {
  // After an unexpected receive error the state and the buffered bytes stay for inspection.
  if (state != SOCK_STATE_ERROR) {
    state = SOCK_STATE_DISCONNECTED;
    ClearBuffer();
  }
  CloseSocket();
}

void PlainSocket::CloseSocket() {
  if (!borrowed && IsValidSocket(handle)) {
    shutdown(handle, SHUT_WR);
    close(handle);  // never retried: the descriptor is gone even when close reports EINTR
  }
  handle = INVALID_SOCKET;
}

int PlainSocket::Pending() {
  if (state != SOCK_STATE_CONNECTED) {
    return -1;
  }
  int readable = 0;
  return ioctl(handle, FIONREAD, &readable) == 0 ? readable : 0;
}

int PlainSocket::SendText(std::string text) {
  return Send(text.data(), static_cast<int>(text.size()));
}

int PlainSocket::Send(const char* data, int length) {
  try {
    if (data == nullptr) {
      throw TextException("buffer==NULL");
    }
  } catch (const TextException&) {
    return SOCK_ERROR;
  }
  if (state != SOCK_STATE_CONNECTED) {
    return SOCK_DISCONNECTED;
  }
  if (length == 0) {
    length = static_cast<int>(std::strlen(data));
  }
  while (length > 0) {
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE here instead of killing the process.
    ssize_t n = RetryOnEintr(
        [&] { return send(handle, data, static_cast<std::size_t>(length), MSG_NOSIGNAL); });
    if (n < 0) {
      if (IsRetryableSendError(errno, handle)) {
        continue;
      }
      return SOCK_ERROR;
    }
    if (n == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    data += n;
    length -= static_cast<int>(n);
  }
  return SOCK_SUCCESS;
}

int PlainSocket::SendFile(const char* file_name) {
  if (state != SOCK_STATE_CONNECTED) {
    return SOCK_DISCONNECTED;
  }
  int file = -1;
  try {
    file = file_name != nullptr ? open(file_name, O_RDONLY | O_CLOEXEC) : -1;
    if (file < 0) {
      throw TextException("CreateFile() returned NULL");
    }
  } catch (const TextException&) {
    return SOCK_ERROR;
  }
  posix_fadvise(file, 0, 0, POSIX_FADV_SEQUENTIAL);
  int result = SendOpenFile(*this, file);
  close(file);
  return result;
}

int PlainSocket::SendFile(FileHandle file) {
  try {
    if (state != SOCK_STATE_CONNECTED) {
      throw TextException("State != SOCK_STATE_CONNECTED");
    }
    if (file < 0) {
      throw TextException("PlainSocket::SendFile(HANDLE) - HANDLE is NULL");
    }
  } catch (const TextException&) {
    return SOCK_ERROR;
  }
  return SendOpenFile(*this, file);
}

int PlainSocket::ReadToNul(std::string& text, int length, int seconds, int microseconds) {
  return ReadIntoText(*this, text, length, ByteDelimiter('\0'), seconds, microseconds);
}

int PlainSocket::ReadToChar(std::string& text, int length, char delimiter, int seconds,
                            int microseconds) {
  return ReadIntoText(*this, text, length, CharDelimiter(delimiter), seconds, microseconds);
}

int PlainSocket::ReadToText(std::string& text, int length, const char* delimiter, int seconds,
                            int microseconds) {
  return ReadIntoText(*this, text, length, TextDelimiter(delimiter), seconds, microseconds);
}

int PlainSocket::ReadToNul(char* destination, int length, int seconds, int microseconds) {
  return ReadToByte(destination, length, '\0', seconds, microseconds);
}

int PlainSocket::ReadToByte(char* destination, int length, char delimiter, int seconds,
                            int microseconds) {
  int delivered = 0;
  return DelimitedReader(*this, ByteDelimiter(delimiter))
      .Read(destination, length, seconds, microseconds, delivered);
}

int PlainSocket::ReadToChar(char* destination, int length, char delimiter, int seconds,
                            int microseconds) {
  int delivered = 0;
  return DelimitedReader(*this, CharDelimiter(delimiter))
      .Read(destination, length, seconds, microseconds, delivered);
}

int PlainSocket::ReadToText(char* destination, int length, const char* delimiter, int seconds,
                            int microseconds) {
  int delivered = 0;
  return DelimitedReader(*this, TextDelimiter(delimiter))
      .Read(destination, length, seconds, microseconds, delivered);
}

bool PlainSocket::AppendReceived(const char* data, int length) {
  if (state != SOCK_STATE_CONNECTED || data == nullptr || length < 0 ||
      length > RECV_BUFFER_CAPACITY - recv_count || !EnsureBuffer()) {
    return false;
  }
  std::memcpy(recv_buffer + recv_count, data, static_cast<std::size_t>(length));
  recv_count += length;
  recv_buffer[recv_count] = '\0';
  return true;
}

std::pair<int, char*> PlainSocket::ReceiveSpace() {
  return {RECV_BUFFER_CAPACITY - recv_count, recv_buffer + recv_count};
}

int PlainSocket::CommitReceived(int n) {
  // Kept inside the free space and followed by the 0 the string searches rely on,
  // so a wrong count cannot carry the buffer past its end.
  n = std::clamp(n, 0, RECV_BUFFER_CAPACITY - recv_count);
  recv_count += n;
  if (recv_buffer != nullptr) {
    recv_buffer[recv_count] = '\0';
  }
  return n;
}

int PlainSocket::TakeReceived(char* destination, unsigned length, bool raw) {
  if (recv_count <= 0 || destination == nullptr) {
    return 0;
  }
  if (!EnsureBuffer()) {
    return SOCK_ERROR;
  }
  auto count = static_cast<unsigned>(recv_count);
  unsigned n = std::min(length, count);
  std::memcpy(destination, recv_buffer, n);
  if (!raw) {
    destination[n] = '\0';
  }
  // The rest moves to the front together with the 0 behind it.
  std::memmove(recv_buffer, recv_buffer + n, count - n + 1);
  recv_count -= static_cast<std::int32_t>(n);
  return static_cast<int>(n);
}

int PlainSocket::WaitForData(bool force, int seconds, int microseconds) {
  Deadline limit = DeadlineAfter(seconds, microseconds);
  if (!force && recv_count > 0) {
    return recv_count;
  }
  return WaitAndReceive(*this, limit, Front{});
}

int PlainSocket::FillBuffer() {
  if (state != SOCK_STATE_CONNECTED) {
    return SOCK_DISCONNECTED;
  }
  int free = RECV_BUFFER_CAPACITY - recv_count;
  if (free <= 0) {
    return recv_count;
  }
  return Receive(*this, 0);
}

int PlainSocket::Read(char* destination, int length, int seconds, int microseconds) {
  if (destination == nullptr || length < 0) {
    return SOCK_ERROR;
  }
  if (length == 0) {
    return 0;
  }
  if (state != SOCK_STATE_CONNECTED || !EnsureBuffer()) {
    std::memset(destination, 0, static_cast<std::size_t>(length));
    return state != SOCK_STATE_CONNECTED ? SOCK_DISCONNECTED : SOCK_ERROR;
  }
  const bool direct = ReceivesDirectly(*this);
  int total = 0;
  while (total < length) {
    if (direct && recv_count == 0) {
      // Straight into the destination; what the receive takes beyond it stays buffered.
      const Front front{destination + total, std::min(length - total, RECV_BUFFER_CAPACITY)};
      const int got = WaitAndReceive(*this, DeadlineAfter(seconds, microseconds), front);
      if (got <= 0) {
        break;
      }
      total += std::min(got, front.size);
    } else {
      if (WaitForData(false, seconds, microseconds) <= 0) {
        break;
      }
      total += TakeReceived(destination + total, static_cast<unsigned>(length - total), true);
    }
  }
  // The rest of the destination is cleared afterwards rather than all of it first, which
  // would write every byte twice.
  std::memset(destination + total, 0, static_cast<std::size_t>(length - total));
  return total;
}

bool PlainSocket::IsConnected() {
  WaitForData(true, 0, 0);
  return state == SOCK_STATE_CONNECTED;
}
