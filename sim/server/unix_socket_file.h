// Unix domain sockets named by files: the device sockets and the control
// channel of the controller server, and the clients that reach them.
#pragma once

#include <string>

namespace unixsocket {

// The longest path a socket file may have (sun_path less its terminator).
std::size_t MaxPathBytes();

// A listening socket of `type` (SOCK_SEQPACKET, SOCK_STREAM) at `path`,
// non-blocking and close-on-exec. The file appears only once the socket
// accepts connections, so whoever sees it can connect at once. A leftover
// file that nobody listens on is replaced; a live one is left alone and is an
// error. Returns the descriptor, or -1 with `error` set.
int Listen(const std::string& path, int type, std::string& error);

// A connected, blocking, close-on-exec socket of `type` to `path`, or -1
// with `error` set.
int Connect(const std::string& path, int type, std::string& error);

// Sends without raising SIGPIPE; the result is send()'s.
long SendPacket(int fd, const void* bytes, std::size_t size, bool wait);

}  // namespace unixsocket
