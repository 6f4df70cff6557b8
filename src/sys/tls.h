// SPDX-License-Identifier: Apache-2.0
#pragma once
// Modbus over TLS: the gateway's credentials, and sessions on sockets that are never waited on
// inside the library. Every session reads and writes with MSG_DONTWAIT, so a handshake or a
// record that is not complete yet returns at once and is resumed when the socket is ready: the
// caller's select loop decides when to go on, and no peer can hold it. The library's own types
// stay behind this header (only their names are declared here); its headers are included by
// tls.cpp alone.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct evp_pkey_st;
struct ssl_ctx_st;
struct ssl_st;
struct x509_st;
struct stack_st_X509;

// The X.509 extension that carries a client's role (a UTF8String), 1.3.6.1.4.1.50316.802.1.
inline constexpr char TLS_ROLE_OID_TEXT[] = "1.3.6.1.4.1.50316.802.1";
// Room for a role and its terminating zero; a longer role is refused as no role.
inline constexpr size_t TLS_ROLE_SIZE = 65;
// Room for a reason in words.
inline constexpr size_t TLS_REASON_SIZE = 256;

// What a peer may make the gateway do before its handshake has ended. Its bytes are counted as
// they arrive, and no handshake message may be longer than the count allows. Its chain is judged
// in the library's verification hook before any signature of it is checked: the verification
// checks a signature for every candidate parent, so a chain must be short (TLS_CHAIN_MAX), name
// each subject once (names compared as the verification compares them), carry only EC P-256 or
// P-384 keys or RSA keys of TLS_RSA_MIN_BITS to TLS_RSA_MAX_BITS with an exponent of at most
// TLS_RSA_MAX_EXPONENT_BITS, and be signed with SHA-256 or longer. Anything else ends the
// handshake at once.
inline constexpr uint32_t TLS_HANDSHAKE_MAX_BYTES = 16384;
inline constexpr uint32_t TLS_CHAIN_MAX = 4;
inline constexpr uint32_t TLS_RSA_MIN_BITS = 2048;
inline constexpr uint32_t TLS_RSA_MAX_BITS = 4096;
inline constexpr uint32_t TLS_RSA_MAX_EXPONENT_BITS = 32;

// Whether the TLS library counts time in 32 bits (a 32-bit target's library built before its
// move to a 64-bit time_t): its clock, and every certificate check with it, fail from 2038-01-19
// 03:14:08 UTC on. Found when the build is configured (src/sys/CMakeLists.txt).
#ifdef KOVEX4_TLS_TIME32
inline constexpr bool TLS_LIBRARY_TIME32 = true;
#else
inline constexpr bool TLS_LIBRARY_TIME32 = false;
#endif

// How long a client may come back on its session without showing its certificate again (TLS 1.2
// session tickets, TLS 1.3 pre-shared keys from tickets). The tickets are kept by the clients,
// sealed with a key the gateway draws at start: the gateway keeps nothing per session.
inline constexpr long TLS_SESSION_SECONDS = 600;

// Why the gateway itself refused a peer, and what it found.
enum class TlsRefusal : uint8_t {
    none,
    bytes,            // more than TLS_HANDSHAKE_MAX_BYTES before the handshake ended
    chain_length,     // more than TLS_CHAIN_MAX certificates
    unreadable,       // a certificate whose key cannot be read
    key_type,         // neither EC P-256 or P-384 nor RSA
    rsa_size,         // `value`: the modulus's bits
    rsa_exponent,     // `value`: the exponent's bits
    repeated_subject, // the subject of an earlier certificate of the chain
    address,          // `value`: the address the peer's certificate does not carry
    signature_hash,   // signed with a hash shorter than SHA-256, or none the gateway knows
};
struct TlsFault {
    TlsRefusal what = TlsRefusal::none;
    uint32_t cert = 0; // its place in the chain: 1 for the peer's own certificate
    uint32_t value = 0;
};

// One direction's configuration: the library's context.
struct TlsConfig {
    ssl_ctx_st* ctx = nullptr;
};

// The gateway's certificate and key, the authority its peers' certificates must chain to, and one
// configuration for each direction: TLS 1.2 or 1.3, the peer's certificate required. `cert` is
// the first certificate of the certificate file, `ca` the first of the authority file. The files'
// certificates and key are kept as read, for configurations made later (tls_external_open).
struct TlsCredentials {
    TlsConfig server;
    TlsConfig client;
    x509_st* cert = nullptr;
    x509_st* ca = nullptr;
    stack_st_X509* chain = nullptr;     // the certificate file's
    evp_pkey_st* key = nullptr;         // the key file's
    stack_st_X509* authority = nullptr; // the authority file's
    bool ready = false;
};

// Loads the three PEM files and sets up both configurations. 1 when ready; 0 with `reason` set
// ("<file>: <why>") when a file cannot be read or parsed, or the key does not match the
// certificate. Whatever the result, tls_credentials_free releases it.
int tls_credentials_load(TlsCredentials& credentials, const char* cert_path, const char* key_path,
                         const char* ca_path, char* reason, size_t reason_size);
void tls_credentials_free(TlsCredentials& credentials);

// How a session failed, for a caller that explains it (see tls_reason for the words).
enum class TlsFailure : uint8_t {
    none,
    refused, // by the gateway's own judgement (the session's `fault`)
    verify,  // the peer's certificate did not pass the verification
    alert,   // the peer sent a fatal alert: it refused us
    closed,  // the peer closed the connection, or reset it
    timeout, // tls_handshake_until ran out of time
    other,   // anything else the library or the socket reported
};

struct TlsSession {
    ssl_st* ssl = nullptr;
    int fd = -1;
    bool open = false;        // the session is set up (and must be closed)
    bool established = false; // the handshake is done
    bool resumed = false;     // ... on an earlier session, without certificates
    TlsFailure failure = TlsFailure::none;
    // What the last failure was: the library's error code, its verification's finding, the
    // socket's errno.
    unsigned long error = 0;
    long verify_result = 0;
    int socket_errno = 0;
    // Before the handshake has ended: the peer's bytes so far, and why the gateway refused it.
    uint32_t received = 0;
    TlsFault fault;
};

// Sets up a session on connected socket `fd` with `config` (a server or a client configuration);
// `host_name`, for a client, is the name the server's certificate must carry (nullptr: not
// checked). A client offers the last session its configuration made with the same `host_name`
// unless `resume` is false. 1, or 0 (no memory) with the session left closed. The session must
// stay where it is while it is open: its transport is given its address.
int tls_session_open(TlsSession& session, const TlsConfig& config, int fd,
                     const char* host_name = nullptr, bool resume = true);
// Releases the session (sending close_notify when the socket takes it at once); the socket stays
// open. Harmless on a closed session.
void tls_session_close(TlsSession& session);

// Takes the handshake as far as the socket allows: 1 when it is done, 0 when it waits for the
// peer (`want_write`: for room to send), -1 when it failed (see tls_reason).
int tls_handshake_step(TlsSession& session, bool& want_write);
// The whole handshake, waiting on the socket until `deadline_us` (monotonic): 1 or 0.
int tls_handshake_until(TlsSession& session, int64_t deadline_us);

// Reads decrypted bytes: the count; 0 when the peer closed the connection; -1 with errno EAGAIN
// when no complete record has arrived yet, or with EIO when the session failed (see tls_reason;
// over TLS 1.3 a server's refusal of a client's certificate arrives here, after the client's
// handshake has ended).
ssize_t tls_recv(TlsSession& session, void* buffer, size_t size);
// True when bytes already received wait in the session: select would not report them.
bool tls_pending(const TlsSession& session);
// Sends all `size` bytes, waiting for room until `deadline_us`: 1, or 0 with errno EAGAIN (the
// deadline ran out) or EIO (the session failed).
int tls_send_all(TlsSession& session, const uint8_t* data, size_t size, int64_t deadline_us);

// Sends `size` bytes (at most one record's worth) without waiting: 1 when the socket took them;
// 0 when they wait for room, and are then sent by calling again with the same bytes; -1 when the
// session failed.
int tls_send_now(TlsSession& session, const uint8_t* data, size_t size);

// Why the session failed, in short words: the gateway's own refusal, what the verification found
// in the peer's certificate ("certificate has expired"), or the library's reason.
void tls_reason(const TlsSession& session, char* text, size_t size);
// Whether the session's verification failed on the peer certificate's dates (expired, or not
// valid yet), so that a caller can point at the clocks rather than the chain or the name.
bool tls_failed_on_dates(const TlsSession& session);
void tls_fault_text(const TlsFault& fault, char* text, size_t size);

// A client configuration for one server whose sessions another library makes and drives on its
// own socket (it is handed `config.ctx`): made from the credentials, with the same versions,
// suites, groups and signatures as their client configuration, and the server's chain judged and
// verified the same way. The server is checked for what it was set to be, within the handshake,
// before the other library sends anything to it: `host_name`, as tls_session_open checks it (the
// library's verification; the name is also sent, SNI, whatever address the other library has
// connected to), or without a name, `address` (host order) as tls_check_peer_address checks it
// (no SNI then). Why its last handshake failed is kept in `outcome` for tls_reason: the gateway's
// refusal, the verification's finding, or the server's fatal alert. No session is kept to be
// resumed. The record must stay where it is while it is open: the library's hooks are given its
// address.
struct TlsExternalClient {
    TlsConfig config;
    char host_name[256] = ""; // empty: checked by `address`
    uint32_t address = 0;
    TlsSession outcome;
};
// 1, or 0 (no memory, credentials not ready, a name too long) with the client left closed.
int tls_external_open(TlsExternalClient& client, const TlsCredentials& credentials,
                      const char* host_name, uint32_t address);
// Harmless on a closed one; the other library must have freed its sessions before.
void tls_external_close(TlsExternalClient& client);
// Forgets the last handshake's failure: before each connection.
void tls_external_reset(TlsExternalClient& client);
// Whether `ssl`, a session the other library made from an external client's configuration, holds
// received bytes already: select would not report them.
bool tls_external_pending(const ssl_st* ssl);

// Judges a chain (the peer's own certificate, then the others it sent, in their order) as a
// peer's handshake is judged (see TLS_HANDSHAKE_MAX_BYTES): 1 when it may be verified, 0 with
// `fault` set. Nothing of it is verified.
int tls_judge_certs(x509_st* leaf, const stack_st_X509* others, TlsFault& fault);

// Whether the peer's certificate of an established session carries `address` (host order) as an
// iPAddress subject alternative name: 1, or 0 with the session's fault set (see tls_reason).
int tls_check_peer_address(TlsSession& session, uint32_t address);

// 1 when the key file at `path` may be read by other users than its owner and the members of
// `group` (the gateway's own): read permission for others, or for another group; `mode` is set
// to its permission bits. 0 otherwise, or when it cannot be looked at.
int tls_key_exposed(const char* path, gid_t group, unsigned& mode);

// The role in `cert` (extension TLS_ROLE_OID_TEXT) into `role`: 1 when it has exactly one such
// extension holding nothing but a role that fits, 0 otherwise (role set to "").
int tls_cert_role(const x509_st& cert, char* role, size_t size);
// The role of the peer's certificate of an established session, as above.
int tls_peer_role(const TlsSession& session, char* role, size_t size);

// What kovex4-probe shows of a certificate: its dates ("YYYY-MM-DD") and whether today is within
// them (-1: not yet, 0: yes, 1: expired).
struct TlsCertDates {
    char from[11] = "";
    char until[11] = "";
    int now = 0;
};
void tls_cert_dates(const x509_st& cert, TlsCertDates& dates);
// What a certificate's extensions do not allow of its use by a TLS server (`server`) or client:
// its extended key usage lacks serverAuth or clientAuth, or its key usage digitalSignature (for
// the ephemeral key exchange). Without the extensions everything is allowed.
enum class TlsUsage : uint8_t { allowed, extended_key_usage, key_usage };
TlsUsage tls_cert_usage(const x509_st& cert, bool server);
// A peer's certificate file (PEM: its own certificate, then any it would send along), judged and
// verified against the authority of `credentials` as a handshake would, apart from its use.
// 1 when it would pass, with `leaf` set to its own certificate (tls_cert_free releases it); 0 with
// `reason` when it would be refused; -1 with `reason` when the file cannot be read.
int tls_check_peer_file(const TlsCredentials& credentials, const char* path, x509_st*& leaf,
                        char* reason, size_t size);
void tls_cert_free(x509_st* cert);
