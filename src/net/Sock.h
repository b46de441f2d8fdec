// The socket layer: a thin procedural layer over POSIX sockets.
//
// Conventions every caller relies on:
//  - INVALID_SOCKET is the one value that means "no socket"; every function
//    that yields a socket returns it on failure.
//  - Addresses and ports travel in host byte order outside this layer.
//  - Stream sockets the program keeps are non-blocking; would-block is never
//    an error.
//  - A failure the layer can name is shown in a "Warning" box (through the
//    front end) before the failure value is returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;

int SockStartup();
int SockCleanup();

SOCKET SockListen(const std::string& strPort);
SOCKET SockOpenDatagram(const std::string& strPort);
SOCKET SockAccept(SOCKET hListen);
SOCKET SockConnect(const std::string& strHost, const std::string& strPort);
int SockClose(SOCKET s);

// Whether hConnected, a socket SockConnect gave, is connected to hListen, a
// listening socket of this program: its data would come back to the program
// as a new client instead of reaching a server. When it is, a warning is
// shown and true returned; the caller closes the socket.
bool SockConnectedToListener(SOCKET hConnected, SOCKET hListen);
// The test itself, on the addresses: the connection's peer, its own end and
// the listening socket's own address.
bool SockAddressIsListener(const sockaddr_in& peer, const sockaddr_in& ownEnd, const sockaddr_in& listen);

// A check that SockConnect makes while it waits for the server: once it
// answers true the connect is given up and fails. The command line installs
// one while it watches for termination signals, so that a signal ends a
// connect to a host that does not answer instead of waiting out the system's
// time-out; without one (null) a connect waits for its outcome.
void SockSetConnectAbandonCheck(bool (*pfnAbandon)());

// Bytes written to a connected stream socket that its peer has not taken
// (acknowledged) yet; -1 when that cannot be had.
int SockUnsentBytes(SOCKET s);

// Peer host name of a connected socket (its reverse name, else the dotted
// address); empty when none can be had (a warning was shown).
std::string SockPeerName(SOCKET s);

// Stream receive: bytes read (> 0), 0 when nothing can be read now, -1 when
// the connection was closed by the peer or failed.
int SockReceive(SOCKET s, void* pBuffer, int nCapacity);
// Stream send: the full length, the bytes sent before the socket would block
// (possibly 0), or -1 on failure. Never waits.
int SockSend(SOCKET s, const void* pData, int nLength);

// Datagram receive: bytes (> 0), 0 when nothing waits, -2 when the datagram
// was larger than the buffer (the buffer holds its first bytes), -1 for any
// other failure. The sender is stored for results > 0 and for -2.
// An empty datagram also gives 0 (with its sender stored); pbTaken, when
// given, tells it from "nothing waits": it is set to whether a datagram was
// taken off the socket (true for results > 0, -2 and an empty datagram).
int SockReceiveFrom(SOCKET s, void* pBuffer, int nCapacity, std::uint32_t* pSenderAddr,
                    std::uint16_t* pSenderPort = nullptr, bool* pbTaken = nullptr);
// Datagram send: the length, a smaller count, 0 for would-block, -2 when the
// datagram is too large for the platform, -1 for other failures.
// An empty datagram gives 0 both when it went out and when the socket would
// block; pbTaken, when given, tells the two apart: it is set to whether the
// platform took the datagram.
int SockSendTo(SOCKET s, const void* pData, int nLength, std::uint32_t nAddr, std::uint16_t nPort,
               bool* pbTaken = nullptr);

// Host text to address; empty or unknown gives 0xFFFFFFFF (255.255.255.255).
std::uint32_t SockResolveHost(const std::string& strHost);
// True when nAddr, which SockResolveHost gave for strHost, stands for a name
// that did not resolve rather than for the broadcast address: the text is
// neither empty nor a dotted address. Nothing is looked up.
bool SockHostUnresolved(const std::string& strHost, std::uint32_t nAddr);
// Datagram port text to port: a udp service name, else the number as atoi
// reads it, cut to 16 bits. No message.
std::uint16_t SockResolveUdpPort(const std::string& strPort);

// Address to its host name (or dotted text when it has none) / to dotted
// text. 0 on success, -1 with an empty buffer when no text can be had.
int SockAddressToName(std::uint32_t nAddr, char* pBuffer, std::size_t nCapacity);
int SockAddressToText(std::uint32_t nAddr, char* pBuffer, std::size_t nCapacity);

// The decimal value of a port text as atoi reads it, cut to 16 bits.
std::uint16_t SockAtoiPort(const std::string& strPort);
// The first IPv4 address (host order) of the local host name, which is where
// listening and datagram sockets are bound; 0 when it cannot be resolved.
std::uint32_t SockLocalHostAddress();
