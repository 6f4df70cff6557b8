// SPDX-License-Identifier: Apache-2.0
#pragma once
// Modbus over TLS (mbedTLS): the gateway's credentials, and sessions on sockets that are never
// waited on inside the library. Every session reads and writes with MSG_DONTWAIT, so a handshake
// or a record that is not complete yet returns at once and is resumed when the socket is ready:
// the caller's select loop decides when to go on, and no peer can hold it.
// A session's buffers are allocated when it is opened (tls_session_open) and freed when it is
// closed; reading and writing records allocates nothing.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The X.509 extension that carries a client's role (a UTF8String), 1.3.6.1.4.1.50316.802.1.
inline constexpr char TLS_ROLE_OID_TEXT[] = "1.3.6.1.4.1.50316.802.1";
// Room for a role and its terminating zero; a longer role is refused as no role.
inline constexpr size_t TLS_ROLE_SIZE = 65;
// Room for a reason in words (mbedtls_strerror and the verification's findings).
inline constexpr size_t TLS_REASON_SIZE = 256;

// The gateway's certificate and key, the authority its peers' certificates must chain to, and one
// configuration for each direction: TLS 1.2 or later, the peer's certificate required.
struct TlsCredentials {
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
    mbedtls_x509_crt ca;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config server;
    mbedtls_ssl_config client;
    bool ready = false;
};

// Loads the three PEM files and sets up both configurations. 1 when ready; 0 with `reason` set
// ("<file>: <why>") when a file cannot be read or parsed, or the key does not match the
// certificate. Whatever the result, tls_credentials_free releases it.
int tls_credentials_load(TlsCredentials& credentials, const char* cert_path, const char* key_path,
                         const char* ca_path, char* reason, size_t reason_size);
void tls_credentials_free(TlsCredentials& credentials);

struct TlsSession {
    mbedtls_ssl_context ssl;
    int fd = -1;
    bool open = false;        // the context is set up (and must be freed)
    bool established = false; // the handshake is done
    int last_error = 0;       // the library's code of the last failure
};

// Sets up a session on connected socket `fd` with `config` (a server or a client configuration);
// `host_name`, for a client, is the name the server's certificate must carry (nullptr: not
// checked). 1, or 0 (no memory) with the session left closed.
int tls_session_open(TlsSession& session, const mbedtls_ssl_config& config, int fd,
                     const char* host_name = nullptr);
// Releases the session (sending close_notify when the socket takes it at once); the socket stays
// open. Harmless on a closed session.
void tls_session_close(TlsSession& session);

// Takes the handshake as far as the socket allows: 1 when it is done, 0 when it waits for the
// peer (`want_write`: for room to send), -1 when it failed (last_error says why).
int tls_handshake_step(TlsSession& session, bool& want_write);
// The whole handshake, waiting on the socket until `deadline_us` (monotonic): 1 or 0.
int tls_handshake_until(TlsSession& session, int64_t deadline_us);

// Reads decrypted bytes: the count; 0 when the peer closed the connection; -1 with errno EAGAIN
// when no complete record has arrived yet, or with EIO when the session failed (last_error).
ssize_t tls_recv(TlsSession& session, void* buffer, size_t size);
// True when bytes already received wait in the session: select would not report them.
bool tls_pending(const TlsSession& session);
// Sends all `size` bytes, waiting for room until `deadline_us`: 1, or 0 with errno EAGAIN (the
// deadline ran out) or EIO (the session failed).
int tls_send_all(TlsSession& session, const uint8_t* data, size_t size, int64_t deadline_us);

// Sends `size` bytes (at most one record's worth) without waiting: 1 when the socket took them;
// 0 when they wait for room, and are then sent by calling again with the same bytes; -1 when the
// session failed (last_error).
int tls_send_now(TlsSession& session, const uint8_t* data, size_t size);

// The library's words for `code`, and for a failed verification what the peer's certificate
// lacked, in `text`.
void tls_reason(const TlsSession& session, char* text, size_t size);
void tls_error_text(int code, char* text, size_t size);

// The role in `cert` (extension TLS_ROLE_OID_TEXT) into `role`: 1 when it has one that fits, 0
// otherwise (role set to "").
int tls_cert_role(const mbedtls_x509_crt& cert, char* role, size_t size);
// The role of the peer's certificate of an established session, as above.
int tls_peer_role(const TlsSession& session, char* role, size_t size);
