// Port layer: one way to talk to an instrument behind a TCP device server
// ("tcp:HOST:PORT") or on a local serial line (any other endpoint text is a
// device path). Ports are named by the descriptor that openPort returns.
#pragma once

#include <cstddef>

// One open port. Records form a doubly linked list in the order of opening.
struct PortRecord {
    unsigned char isTcp;  // 1 for a TCP connection, 0 for a serial line
    int fd;               // the socket or the open line; 0 while opening
    int logFd;            // the port's send log, 0 when it has none
    PortRecord* prev;
    PortRecord* next;
    unsigned char ended;  // 1 once the connection has ended (see portEnded)
};

// First record of the table of open ports; null while the table is empty.
extern PortRecord* ports;

// Opens an endpoint. speed is in bits per second, databits 5 to 8, stopbits 2
// for two stop bits (anything else: one), parity "none", "even" or "odd" in
// any case; a TCP endpoint ignores all four. A serial line is set up raw:
// bytes pass unchanged both ways, with no flow control of either kind.
// Returns the descriptor (also stored through fd), or -1 on failure with 0
// stored through fd.
int openPort(const char* endpoint, int* fd, int speed, int databits, int stopbits, const char* parity);

// Connects a TCP socket to host (dotted IPv4 address or host name) on the
// low 16 bits of port, with a 2-second receive time-out. The connect itself
// gives up after 2 seconds (ETIMEDOUT). Returns the socket or -1. The
// protocol name is not used.
int connectAtPort(const char* protocol, const char* host, int port);

// Sends a zero-terminated text, drains a serial line and pauses 10 ms.
// Sending and draining together have a deadline of 2 seconds (a peer that
// stops reading cannot hold the caller). Returns 0 when the whole text went
// out, else -1 (ETIMEDOUT for a missed deadline) or the drain's negative
// result. A send that finds the connection closed, or that leaves part of
// the text sent, ends the port's connection (portEnded).
int sendStr(int fd, const char* text);

// 1 when the port's connection has ended: the peer closed it (a receive
// read end of file, or a send met a closed connection: EPIPE, ECONNRESET,
// ENOTCONN, or EIO on a line that went away), or a send stopped with part
// of its text sent. Nothing more can be exchanged on it; the caller closes
// it and opens the endpoint again. 0 while it is open (a receive time-out
// is no end); -1 for a descriptor without a port.
int portEnded(int fd);

// How long the line may stay quiet inside a reply. A device server holds
// bytes back before it forwards them (ser2net at its defaults up to 20 ms,
// cutting a 77-byte reply into 64 and 13), a 9600 bit/s line brings one
// character a millisecond, and a busy host adds a few milliseconds of its
// own: 100 ms bridges all of that several times over, yet costs a reply only
// 2 % of the 5-second polling cadence.
constexpr int RECV_QUIET_GAP_MS = 100;

// Waits up to 2 seconds for a first byte, zeroes buf[0..len) and reads what
// has come; then keeps reading until len bytes are in, the line has been
// quiet for RECV_QUIET_GAP_MS, or 2 seconds have passed since the first
// byte. Returns the count; 0 on time-out or when the peer closed; -1 on
// error. End of file or an error after some bytes returns those bytes; the
// next call meets it and reports it. End of file ends the port's connection
// (portEnded); a time-out or a read error does not. A stop
// signal (STOP_SIGNAL) ends the waits at once, as a time-out.
int recvStr(int fd, char* buf, int len);

// Reads and throws away, without waiting, the bytes already waiting on the
// port: at most maxBytes in one call, so that a peer that never stops
// sending cannot hold the caller. Returns the number of bytes discarded,
// or -1 on error.
int discardRecv(int fd, int maxBytes);

// Closes the port, drops its record and closes its send log. A TCP port
// whose connection has ended is reset, so that bytes still queued (part of
// a command) are thrown away rather than delivered later.
int closePort(int fd);

// Waits until a serial line has sent everything written, for at most 2
// seconds (then -1, ETIMEDOUT); 0 at once on TCP.
int flushSend(int fd);

// Discards input waiting on a serial line; TCP ports discard nothing.
int flushRecv(int fd);

// Opens the port's send log "NAME_SECONDS.log" (closing one it already has);
// every later sendStr appends "S<seconds>: <text>". Returns its descriptor
// or -1.
int openLogFile(int fd, const char* name);

// Closes the port's send log.
int closeLogFile(int fd);
