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

// What a peer may make the gateway do before its handshake has ended. Its bytes are counted and
// its Certificate message is judged as the records arrive, before the library parses or verifies
// any of it: the library checks a signature for every candidate parent within one step, so a
// chain must be short (TLS_CHAIN_MAX), name each subject once and carry only EC P-256 or P-384
// keys or RSA keys of TLS_RSA_MIN_BITS to TLS_RSA_MAX_BITS with an exponent of at most
// TLS_RSA_MAX_EXPONENT_BITS. Anything else ends the handshake at once.
inline constexpr uint32_t TLS_HANDSHAKE_MAX_BYTES = 16384;
inline constexpr uint32_t TLS_CHAIN_MAX = 4;
inline constexpr uint32_t TLS_RSA_MIN_BITS = 2048;
inline constexpr uint32_t TLS_RSA_MAX_BITS = 4096;
inline constexpr uint32_t TLS_RSA_MAX_EXPONENT_BITS = 32;

// What the verification accepts of the certificates it checks: the keys above, signatures with
// SHA-256 or longer.
inline constexpr mbedtls_x509_crt_profile TLS_CERT_PROFILE = {
    MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA256) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA384) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA512),
    MBEDTLS_X509_ID_FLAG(MBEDTLS_PK_ECKEY) | MBEDTLS_X509_ID_FLAG(MBEDTLS_PK_ECDSA) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_PK_RSA),
    MBEDTLS_X509_ID_FLAG(MBEDTLS_ECP_DP_SECP256R1) | MBEDTLS_X509_ID_FLAG(MBEDTLS_ECP_DP_SECP384R1),
    TLS_RSA_MIN_BITS,
};

// Why the gateway itself refused a peer, and what it found.
enum class TlsRefusal : uint8_t {
    none,
    bytes,            // more than TLS_HANDSHAKE_MAX_BYTES before the handshake ended
    unchecked,        // the records could not be followed
    chain_length,     // more than TLS_CHAIN_MAX certificates
    unreadable,       // a certificate that is not DER as expected
    key_type,         // neither EC P-256 or P-384 nor RSA
    rsa_size,         // `value`: the modulus's bits
    rsa_exponent,     // `value`: the exponent's bits
    repeated_subject, // the subject of an earlier certificate of the chain
    address,          // `value`: the address the peer's certificate does not carry
};
struct TlsFault {
    TlsRefusal what = TlsRefusal::none;
    uint32_t cert = 0; // its place in the chain: 1 for the peer's own certificate
    uint32_t value = 0;
};

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
    // Before the handshake has ended: the peer's bytes so far, whether its records are encrypted
    // (its ChangeCipherSpec has come), and why the gateway refused it.
    uint32_t received = 0;
    bool peer_encrypts = false;
    TlsFault fault;
};

// Sets up a session on connected socket `fd` with `config` (a server or a client configuration);
// `host_name`, for a client, is the name the server's certificate must carry (nullptr: not
// checked). 1, or 0 (no memory) with the session left closed. The session must stay where it is
// while it is open: its transport functions are given its address.
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

// Why the session failed in `text`: the gateway's own refusal, or the library's words for its
// code and, for a failed verification, what the peer's certificate lacked.
void tls_reason(const TlsSession& session, char* text, size_t size);
void tls_error_text(int code, char* text, size_t size);
void tls_fault_text(const TlsFault& fault, char* text, size_t size);

// Judges a chain as a peer's handshake is judged (see TLS_HANDSHAKE_MAX_BYTES): the body of a
// Certificate handshake message (the list's length, then each DER certificate after its length),
// or parsed certificates. 1 when it may be verified, 0 with `fault` set.
int tls_judge_chain(const uint8_t* body, size_t size, TlsFault& fault);
int tls_judge_certs(const mbedtls_x509_crt& chain, TlsFault& fault);

// Whether the peer's certificate of an established session carries `address` (host order) as an
// iPAddress subject alternative name: 1, or 0 with the session's fault set (see tls_reason).
int tls_check_peer_address(TlsSession& session, uint32_t address);

// 1 when the key file at `path` may be read by other users than its owner and the members of
// `group` (the gateway's own): read permission for others, or for another group; `mode` is set
// to its permission bits. 0 otherwise, or when it cannot be looked at.
int tls_key_exposed(const char* path, gid_t group, unsigned& mode);

// The role in `cert` (extension TLS_ROLE_OID_TEXT) into `role`: 1 when it has exactly one such
// extension holding nothing but a role that fits, 0 otherwise (role set to "").
int tls_cert_role(const mbedtls_x509_crt& cert, char* role, size_t size);
// The role of the peer's certificate of an established session, as above.
int tls_peer_role(const TlsSession& session, char* role, size_t size);
