// TLS for the socket object: eleven plain calls over a socket handle, in the
// shape of a small C library. Each TLS connection is named by a handle, an
// integer above 100; 0 means none. Texts are zero-ended byte strings.
// Certificates and keys are PEM text; the client's trust store is a PEM file.
// Calls on different handles may run on different threads.
#ifndef NORV_NET_TLS_H_
#define NORV_NET_TLS_H_

#include <cstdint>

namespace norv {

// Runs the client hand-shake on a connected, blocking socket. Trust is read
// from `ca_file` (PEM; empty: the system's trust store). An untrusted peer
// still connects; ssl_getverify tells. Returns the handle, or 0 on failure.
std::int32_t ssl_init_client(std::int32_t socket, const char* ca_file);

// Runs the server hand-shake on an accepted, blocking socket with the PEM
// certificate (followed by any chain certificates) and the PEM private key.
// Returns the handle (above 100), or 0 on failure.
std::int32_t ssl_init_server(std::int32_t socket, const char* certificate, const char* key);

// The server side without blocking, for servers of many connections on one
// loop. Prepares TLS on an accepted socket with the PEM certificate (and any
// chain certificates after it) and the PEM private key. When `ca_file` names
// a PEM trust file, the client must present a certificate that verifies
// against it, or the hand-shake fails. Writes may be partial and may be
// offered again from another address. Returns the handle (above 100), or 0
// when the certificate, key or trust file cannot be used. Nothing is sent or
// received until ssl_handshake.
std::int32_t ssl_new_server(std::int32_t socket, const char* certificate, const char* key,
                            const char* ca_file);

// Advances the hand-shake of a handle from ssl_new_server on a non-blocking
// socket: 1 when it has completed; 0 when it waits for data from the peer
// (call again once the socket is readable); 2 when it waits to send (call
// again once it is writable); -1 when it failed. Free the handle with
// ssl_cleanup in every case.
std::int32_t ssl_handshake(std::int32_t handle);

// Sends up to `count` bytes: the number sent, or -1 on failure. When the
// socket is non-blocking and cannot take the bytes now, -1 with errno EAGAIN
// (the socket layer's "operation would block"); offer the same bytes again.
std::int32_t ssl_send(std::int32_t handle, const char* bytes, std::int32_t count);

// Receives up to `size` bytes: the number received; 0 when the peer has
// closed the connection; -1 on failure, with errno EAGAIN when nothing can be
// read now from a non-blocking socket.
std::int32_t ssl_recv(std::int32_t handle, char* buffer, std::int32_t size);

// Ends the TLS connection (the socket itself stays open) and frees the handle.
void ssl_cleanup(std::int32_t handle);

// Fill `buffer` (of `size` bytes, at least 1) with a zero-ended text: the
// negotiated cipher, and the subject and issuer of the peer's certificate
// (one-line RFC 2253 form; empty without a certificate or handle).
void ssl_getcipher(std::int32_t handle, char* buffer, std::int32_t size);
void ssl_getsubject(std::int32_t handle, char* buffer, std::int32_t size);
void ssl_getissuer(std::int32_t handle, char* buffer, std::int32_t size);

// 0 when the peer presented a certificate that verified against the trust
// store; otherwise a non-zero verification code.
std::int32_t ssl_getverify(std::int32_t handle);

}  // namespace norv

#endif  // NORV_NET_TLS_H_
