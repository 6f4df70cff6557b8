// SPDX-License-Identifier: Apache-2.0
#include "sys/tls.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "sys/deadline.h"

#if OPENSSL_VERSION_NUMBER < 0x30000000L
#error "Modbus over TLS needs OpenSSL 3"
#endif

// A 32-bit target may link a library built with a 32-bit time_t while this code has a 64-bit one
// (see src/sys/CMakeLists.txt): no function that passes a time_t across is called. Dates are read
// with ASN1_TIME_to_tm and compared with X509_cmp_current_time, the library's own clock.
#pragma GCC poison X509_cmp_time X509_VERIFY_PARAM_set_time X509_VERIFY_PARAM_get_time
#pragma GCC poison X509_STORE_CTX_set_time X509_time_adj X509_time_adj_ex ASN1_TIME_set
#pragma GCC poison ASN1_TIME_adj ASN1_UTCTIME_set ASN1_UTCTIME_adj ASN1_GENERALIZEDTIME_set
#pragma GCC poison ASN1_GENERALIZEDTIME_adj ASN1_TIME_cmp_time_t ASN1_UTCTIME_cmp_time_t
#pragma GCC poison OPENSSL_gmtime SSL_SESSION_get_time_ex SSL_SESSION_set_time_ex

namespace {

// TLS_ROLE_OID_TEXT as DER encodes it (the content of its OBJECT IDENTIFIER).
constexpr unsigned char ROLE_OID[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x83,
                                      0x89, 0x0C, 0x86, 0x22, 0x01};

// Ephemeral ECDHE key exchange with AEAD ciphers only, for an EC or an RSA certificate: forward
// secrecy, and no CBC, CCM or Camellia. TLS 1.3's suites are all ephemeral; its CCM ones are left
// out. Key exchange on the curves the certificates may use, and x25519. Signatures in the
// handshake with SHA-256 or longer.
constexpr char SUITES_TLS12[] = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
                                "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256:"
                                "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-CHACHA20-POLY1305";
constexpr char SUITES_TLS13[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr char GROUPS[] = "X25519:P-256:P-384";
constexpr char SIGNATURES[] = "ECDSA+SHA256:ECDSA+SHA384:ECDSA+SHA512:rsa_pss_rsae_sha256:"
                              "rsa_pss_rsae_sha384:rsa_pss_rsae_sha512:RSA+SHA256:RSA+SHA384:"
                              "RSA+SHA512";
// The library's security level that matches the judge: keys of 112 bits or more (RSA 2048 and
// up), no SHA-1 signatures.
constexpr int SECURITY_LEVEL = 2;
// What a server's session tickets are bound to: sessions of another program are not taken.
constexpr unsigned char SESSION_CONTEXT[] = "kovex4";

// Where a client configuration keeps its last session (an index of the contexts' own data).
int g_session_slot = -1;

TlsSession* session_of(SSL* ssl) {
    return ssl != nullptr ? static_cast<TlsSession*>(SSL_get_app_data(ssl)) : nullptr;
}

// The session's transport: never waits, so the library asks to be called again instead. It also
// counts the peer's bytes before its handshake has ended.
int bio_write(BIO* bio, const char* data, size_t size, size_t* written) {
    TlsSession& session = *static_cast<TlsSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do
        n = send(session.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n >= 0) {
        *written = static_cast<size_t>(n);
        return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        BIO_set_retry_write(bio);
    else
        session.socket_errno = errno;
    return 0;
}

int bio_read(BIO* bio, char* buffer, size_t size, size_t* got) {
    TlsSession& session = *static_cast<TlsSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do
        n = recv(session.fd, buffer, size, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0 && !session.established) {
        session.received += static_cast<uint32_t>(n); // at most what the library asked for
        if (session.received > TLS_HANDSHAKE_MAX_BYTES) {
            session.fault = {TlsRefusal::bytes, 0, 0};
            return 0;
        }
    }
    if (n > 0) {
        *got = static_cast<size_t>(n);
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_read(bio);
    else if (n < 0)
        session.socket_errno = errno;
    return 0; // the end of the stream, or an error
}

long bio_control(BIO*, int command, long, void*) {
    // Nothing is buffered here: a flush is done at once.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* socket_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kovex4 socket");
        if (m != nullptr &&
            (!BIO_meth_set_write_ex(m, bio_write) || !BIO_meth_set_read_ex(m, bio_read) ||
             !BIO_meth_set_ctrl(m, bio_control) || !BIO_meth_set_create(m, bio_create))) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

// The bits of a number.
uint32_t bits_of(const EVP_PKEY* key, const char* parameter) {
    BIGNUM* number = nullptr;
    if (!EVP_PKEY_get_bn_param(key, parameter, &number))
        return 0;
    const uint32_t bits = static_cast<uint32_t>(BN_num_bits(number));
    BN_free(number);
    return bits;
}

// The key and the signature's hash of certificate `index` (counted from 1) of a chain.
bool judge_cert(X509* cert, uint32_t index, TlsFault& fault) {
    fault = {TlsRefusal::key_type, index, 0};
    const EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key == nullptr) {
        fault.what = TlsRefusal::unreadable;
        return false;
    }
    const int type = EVP_PKEY_get_base_id(key);
    if (type == EVP_PKEY_EC) {
        char group[32];
        size_t length = 0;
        if (!EVP_PKEY_get_group_name(key, group, sizeof group, &length))
            return false;
        const int curve = OBJ_sn2nid(group);
        if (curve != NID_X9_62_prime256v1 && curve != NID_secp384r1)
            return false;
    } else if (type == EVP_PKEY_RSA) {
        const uint32_t n_bits = bits_of(key, OSSL_PKEY_PARAM_RSA_N);
        const uint32_t e_bits = bits_of(key, OSSL_PKEY_PARAM_RSA_E);
        if (n_bits < TLS_RSA_MIN_BITS || n_bits > TLS_RSA_MAX_BITS) {
            fault = {TlsRefusal::rsa_size, index, n_bits};
            return false;
        }
        if (e_bits > TLS_RSA_MAX_EXPONENT_BITS) {
            fault = {TlsRefusal::rsa_exponent, index, e_bits};
            return false;
        }
    } else {
        return false;
    }
    // The hash its issuer signed it with (RSA-PSS included); an algorithm the library does not
    // know has none.
    int hash = NID_undef;
    if (!X509_get_signature_info(cert, &hash, nullptr, nullptr, nullptr) ||
        (hash != NID_sha256 && hash != NID_sha384 && hash != NID_sha512)) {
        fault.what = TlsRefusal::signature_hash;
        return false;
    }
    fault = {};
    return true;
}

// Whether `cert` carries `address` (host order) as an iPAddress subject alternative name: only
// those count, never the common name.
bool carries_address(X509* cert, uint32_t address) {
    const unsigned char wanted[4] = {
        static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
        static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
    return cert != nullptr && X509_check_ip(cert, wanted, sizeof wanted, 0) == 1;
}

// The library's verification, after the gateway's judgement of what the peer sent: both for
// the server (the client's chain) and the client (the server's). The peer's certificates are
// parsed but no signature of them has been checked yet. `external` is the configuration's
// TlsExternalClient when another library makes its sessions: nothing of this module reads their
// failures afterwards, so they are noted here, and the server's address is checked here too.
int verify_peer(X509_STORE_CTX* store, void* external) {
    SSL* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* other = static_cast<TlsExternalClient*>(external);
    TlsSession* session = other != nullptr ? &other->outcome : session_of(ssl);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    TlsFault fault;
    if (!tls_judge_certs(leaf, X509_STORE_CTX_get0_untrusted(store), fault)) {
        if (session != nullptr)
            session->fault = fault;
        if (other != nullptr)
            other->outcome.failure = TlsFailure::refused;
        // The peer hears "bad certificate".
        X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
        return 0;
    }
    if (X509_verify_cert(store) <= 0) {
        if (other != nullptr) {
            other->outcome.failure = TlsFailure::verify;
            other->outcome.verify_result = X509_STORE_CTX_get_error(store);
        }
        return 0;
    }
    if (other != nullptr && other->host_name[0] == '\0' && !carries_address(leaf, other->address)) {
        other->outcome.fault = {TlsRefusal::address, 1, other->address};
        other->outcome.failure = TlsFailure::refused;
        X509_STORE_CTX_set_error(store, X509_V_ERR_IP_ADDRESS_MISMATCH);
        return 0;
    }
    return 1;
}

// What an external client's sessions go through that the other library does not tell: the
// start of a handshake, where the name it asks for (SNI) is set to the configuration's, and a
// fatal alert from the server, kept as the reason it refused the gateway.
void external_event(const SSL* ssl, int where, int value) {
    auto* client = static_cast<TlsExternalClient*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (client == nullptr)
        return;
    if ((where & SSL_CB_HANDSHAKE_START) != 0) {
        // The library's hook hands the session over as const; the name is the session's own
        // setting, read when the first message of the handshake is written, right after.
        const char* name = client->host_name[0] != '\0' ? client->host_name : nullptr;
        SSL_set_tlsext_host_name(const_cast<SSL*>(ssl), name);
    } else if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT && (value >> 8) == SSL3_AL_FATAL &&
               client->outcome.failure == TlsFailure::none) {
        // As the library words the alert when it fails on it (tls_reason).
        client->outcome.failure = TlsFailure::alert;
        client->outcome.error = ERR_PACK(ERR_LIB_SSL, 0, SSL_AD_REASON_OFFSET + (value & 0xFF));
    }
}

// A server's check of a client's session ticket: the session is taken only while the client's
// certificate is within its dates, else the client shows it again (a full handshake). The other
// outcomes are the library's own choices.
SSL_TICKET_RETURN check_ticket(SSL*, SSL_SESSION* saved, const unsigned char*, size_t,
                               SSL_TICKET_STATUS status, void*) {
    switch (status) {
    case SSL_TICKET_SUCCESS:
    case SSL_TICKET_SUCCESS_RENEW: {
        X509* peer = SSL_SESSION_get0_peer(saved);
        if (peer == nullptr || X509_cmp_current_time(X509_get0_notAfter(peer)) <= 0)
            return SSL_TICKET_RETURN_IGNORE_RENEW;
        return status == SSL_TICKET_SUCCESS ? SSL_TICKET_RETURN_USE : SSL_TICKET_RETURN_USE_RENEW;
    }
    case SSL_TICKET_NONE:
    case SSL_TICKET_EMPTY:
    case SSL_TICKET_NO_DECRYPT:
        return SSL_TICKET_RETURN_IGNORE_RENEW;
    default:
        return SSL_TICKET_RETURN_ABORT;
    }
}

// A client configuration's new session (over TLS 1.3 it arrives after the handshake, with the
// server's ticket): kept as the one to offer next.
int keep_session(SSL* ssl, SSL_SESSION* made) {
    SSL_CTX* ctx = SSL_get_SSL_CTX(ssl);
    SSL_SESSION_free(static_cast<SSL_SESSION*>(SSL_CTX_get_ex_data(ctx, g_session_slot)));
    SSL_CTX_set_ex_data(ctx, g_session_slot, made);
    return 1; // the reference is kept
}

void set_reason(char* reason, size_t size, const char* path, const char* why) {
    std::snprintf(reason, size, "%s: %s", path, why);
}

// The library's reason for its last error, or `otherwise`.
const char* library_reason(const char* otherwise) {
    const char* text = ERR_reason_error_string(ERR_peek_last_error());
    return text != nullptr ? text : otherwise;
}

// Every certificate of the PEM file at `path`, in its order, into `certs` (new): true, or false
// with `reason` set.
bool read_certs(const char* path, STACK_OF(X509) * &certs, char* reason, size_t size) {
    ERR_clear_error();
    BIO* in = BIO_new_file(path, "r");
    if (in == nullptr) {
        set_reason(reason, size, path, std::strerror(errno != 0 ? errno : ENOENT));
        return false;
    }
    certs = sk_X509_new_null();
    while (certs != nullptr) {
        X509* cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
        if (cert == nullptr)
            break;
        if (!sk_X509_push(certs, cert)) {
            X509_free(cert);
            break;
        }
    }
    BIO_free(in);
    // The reading ends at the first block that is not a certificate, or at the end of the file.
    const unsigned long error = ERR_peek_last_error();
    const bool end =
        ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
    if (certs != nullptr && sk_X509_num(certs) > 0 && (error == 0 || end)) {
        ERR_clear_error();
        return true;
    }
    set_reason(reason, size, path,
               certs == nullptr                 ? "out of memory"
               : end && sk_X509_num(certs) == 0 ? "no PEM certificate in it"
                                                : library_reason("not a PEM certificate"));
    sk_X509_pop_free(certs, X509_free);
    certs = nullptr;
    ERR_clear_error();
    return false;
}

// An encrypted key is refused at once: nobody is there to give its password.
int no_password(char*, int, int, void*) {
    return -1;
}

EVP_PKEY* read_key(const char* path, char* reason, size_t size) {
    ERR_clear_error();
    BIO* in = BIO_new_file(path, "r");
    if (in == nullptr) {
        set_reason(reason, size, path, std::strerror(errno != 0 ? errno : ENOENT));
        return nullptr;
    }
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, no_password, nullptr);
    BIO_free(in);
    if (key == nullptr) {
        // No key at all, or only blocks that no decoder takes for a key (a certificate).
        const unsigned long error = ERR_peek_last_error();
        const int why = ERR_GET_LIB(error) == ERR_LIB_PEM ? ERR_GET_REASON(error) : 0;
        set_reason(reason, size, path,
                   why == PEM_R_NO_START_LINE || ERR_GET_REASON(error) == ERR_R_UNSUPPORTED
                       ? "no PEM private key in it"
                   : why == PEM_R_PROBLEMS_GETTING_PASSWORD || why == PEM_R_BAD_PASSWORD_READ
                       ? "the key is encrypted"
                       : library_reason("not a PEM private key"));
    }
    ERR_clear_error();
    return key;
}

// One direction's context: what both directions share, this side's certificate chain and key,
// and the authority's certificates to verify the peer with.
SSL_CTX* make_context(bool server, STACK_OF(X509) * own, EVP_PKEY* key, STACK_OF(X509) * ca) {
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (ctx == nullptr)
        return nullptr;
    SSL_CTX_set_security_level(ctx, SECURITY_LEVEL);
    // Buffers are given back while a session has nothing to read or write: an established
    // client that waits between its requests holds little memory. The chain sent is the
    // certificate file's, not one built from the authority's certificates.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_NO_AUTO_CHAIN);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_max_cert_list(ctx, TLS_HANDSHAKE_MAX_BYTES);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | (server ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                       nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verify_peer, nullptr);
    bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) &&
              SSL_CTX_set_cipher_list(ctx, SUITES_TLS12) &&
              SSL_CTX_set_ciphersuites(ctx, SUITES_TLS13) &&
              SSL_CTX_set1_groups_list(ctx, GROUPS) && SSL_CTX_set1_sigalgs_list(ctx, SIGNATURES);
    ok = ok && SSL_CTX_use_certificate(ctx, sk_X509_value(own, 0)) &&
         SSL_CTX_use_PrivateKey(ctx, key) && SSL_CTX_check_private_key(ctx);
    for (int i = 1; ok && i < sk_X509_num(own); ++i)
        ok = SSL_CTX_add1_chain_cert(ctx, sk_X509_value(own, i));
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    for (int i = 0; ok && i < sk_X509_num(ca); ++i)
        ok = X509_STORE_add_cert(store, sk_X509_value(ca, i)) &&
             (!server || SSL_CTX_add_client_CA(ctx, sk_X509_value(ca, i)));
    if (server) {
        // Resumption from tickets only: the server keeps no session, and tickets expire.
        ok = ok &&
             SSL_CTX_set_session_id_context(ctx, SESSION_CONTEXT, sizeof SESSION_CONTEXT - 1) &&
             SSL_CTX_set_num_tickets(ctx, 1) &&
             SSL_CTX_set_session_ticket_cb(ctx, nullptr, check_ticket, nullptr);
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    } else {
        SSL_CTX_set_session_cache_mode(ctx,
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(ctx, keep_session);
    }
    SSL_CTX_set_timeout(ctx, TLS_SESSION_SECONDS);
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// OpenSSL 3.2 and later queue "record layer failure" after the fault of a record itself (a bad
// MAC, a length out of bounds), which says more; 3.0 queues the fault alone.
#ifdef SSL_R_RECORD_LAYER_FAILURE
constexpr int TLS_RECORD_LAYER_FAILURE = SSL_R_RECORD_LAYER_FAILURE;
#else
constexpr int TLS_RECORD_LAYER_FAILURE = -1;
#endif

// What a failed call of the library (its SSL_get_error `kind`) came to, kept in the session.
void note_failure(TlsSession& session, int kind) {
    session.error = 0;
    // The last error the library queued is its most general word on the failure; the TLS
    // layer's own, when there is one, says most, and its record layer's wrapper least of those.
    for (unsigned long e; (e = ERR_get_error()) != 0;)
        if (session.error == 0 || ERR_GET_LIB(session.error) != ERR_LIB_SSL ||
            (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) != TLS_RECORD_LAYER_FAILURE))
            session.error = e;
    const int reason =
        ERR_GET_LIB(session.error) == ERR_LIB_SSL ? ERR_GET_REASON(session.error) : 0;
    if (session.fault.what != TlsRefusal::none)
        session.failure = TlsFailure::refused;
    else if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
        session.failure = TlsFailure::verify;
        session.verify_result = SSL_get_verify_result(session.ssl);
    } else if (reason >= SSL_AD_REASON_OFFSET)
        session.failure = TlsFailure::alert; // SSL_R_..._ALERT_...: the peer's alert
    else if (reason == SSL_R_UNEXPECTED_EOF_WHILE_READING || kind == SSL_ERROR_ZERO_RETURN ||
             (kind == SSL_ERROR_SYSCALL &&
              (session.socket_errno == 0 || session.socket_errno == ECONNRESET ||
               session.socket_errno == EPIPE)))
        session.failure = TlsFailure::closed;
    else
        session.failure = TlsFailure::other;
}

bool wants_more(int kind) {
    return kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE;
}

} // namespace

int tls_credentials_load(TlsCredentials& c, const char* cert_path, const char* key_path,
                         const char* ca_path, char* reason, size_t reason_size) {
    c = TlsCredentials{};
    // The gateway's choices are made here alone: the machine's OpenSSL configuration file is
    // not read.
    if (!OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr)) {
        std::snprintf(reason, reason_size, "the TLS library cannot be set up");
        return 0;
    }
    if (g_session_slot < 0)
        g_session_slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    STACK_OF(X509)* own = nullptr;
    STACK_OF(X509)* ca = nullptr;
    EVP_PKEY* key = nullptr;
    bool ok = read_certs(cert_path, own, reason, reason_size) &&
              (key = read_key(key_path, reason, reason_size)) != nullptr;
    if (ok && X509_check_private_key(sk_X509_value(own, 0), key) != 1) {
        std::snprintf(reason, reason_size, "%s: the key does not match the certificate %s",
                      key_path, cert_path);
        ok = false;
    }
    ok = ok && read_certs(ca_path, ca, reason, reason_size);
    if (ok) {
        c.cert = sk_X509_value(own, 0);
        c.ca = sk_X509_value(ca, 0);
        X509_up_ref(c.cert);
        X509_up_ref(c.ca);
        c.server.ctx = make_context(true, own, key, ca);
        c.client.ctx = make_context(false, own, key, ca);
        if (c.server.ctx == nullptr || c.client.ctx == nullptr) {
            set_reason(reason, reason_size, cert_path,
                       library_reason("the TLS configuration cannot be set up"));
            ok = false;
        }
    }
    ERR_clear_error();
    if (ok) {
        c.chain = own;
        c.key = key;
        c.authority = ca;
    } else {
        EVP_PKEY_free(key);
        sk_X509_pop_free(own, X509_free);
        sk_X509_pop_free(ca, X509_free);
    }
    c.ready = ok;
    return ok ? 1 : 0;
}

void tls_credentials_free(TlsCredentials& c) {
    if (c.client.ctx != nullptr && g_session_slot >= 0)
        SSL_SESSION_free(
            static_cast<SSL_SESSION*>(SSL_CTX_get_ex_data(c.client.ctx, g_session_slot)));
    SSL_CTX_free(c.server.ctx);
    SSL_CTX_free(c.client.ctx);
    X509_free(c.cert);
    X509_free(c.ca);
    EVP_PKEY_free(c.key);
    sk_X509_pop_free(c.chain, X509_free);
    sk_X509_pop_free(c.authority, X509_free);
    c = TlsCredentials{};
}

int tls_external_open(TlsExternalClient& client, const TlsCredentials& credentials,
                      const char* host_name, uint32_t address) {
    tls_external_close(client);
    if (!credentials.ready ||
        (host_name != nullptr && std::strlen(host_name) >= sizeof client.host_name))
        return 0;
    if (host_name != nullptr)
        std::snprintf(client.host_name, sizeof client.host_name, "%s", host_name);
    client.address = address;
    SSL_CTX* ctx = make_context(false, credentials.chain, credentials.key, credentials.authority);
    bool ok = ctx != nullptr;
    if (ok) {
        // The other library offers no earlier session: none is kept.
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        SSL_CTX_sess_set_new_cb(ctx, nullptr);
        SSL_CTX_set_cert_verify_callback(ctx, verify_peer, &client);
        SSL_CTX_set_info_callback(ctx, external_event);
        SSL_CTX_set_app_data(ctx, &client);
        ok = host_name == nullptr ||
             X509_VERIFY_PARAM_set1_host(SSL_CTX_get0_param(ctx), client.host_name, 0) == 1;
    }
    ERR_clear_error();
    if (!ok) {
        SSL_CTX_free(ctx);
        client = TlsExternalClient{};
        return 0;
    }
    client.config.ctx = ctx;
    return 1;
}

void tls_external_close(TlsExternalClient& client) {
    SSL_CTX_free(client.config.ctx);
    client = TlsExternalClient{};
}

void tls_external_reset(TlsExternalClient& client) {
    client.outcome = TlsSession{};
}

bool tls_external_pending(const ssl_st* ssl) {
    return ssl != nullptr && SSL_pending(ssl) > 0;
}

int tls_session_open(TlsSession& session, const TlsConfig& config, int fd, const char* host_name,
                     bool resume) {
    session = TlsSession{};
    session.fd = fd;
    BIO_METHOD* method = socket_method();
    if (config.ctx == nullptr || method == nullptr)
        return 0;
    ERR_clear_error();
    session.ssl = SSL_new(config.ctx);
    BIO* bio = session.ssl != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        SSL_free(session.ssl);
        session.ssl = nullptr;
        ERR_clear_error();
        return 0;
    }
    BIO_set_data(bio, &session);
    SSL_set_bio(session.ssl, bio, bio);
    SSL_set_app_data(session.ssl, &session);
    bool ok = true;
    if (SSL_is_server(session.ssl)) {
        SSL_set_accept_state(session.ssl);
    } else {
        SSL_set_connect_state(session.ssl);
        // The name is sent (SNI) and checked in the server's certificate.
        ok = host_name == nullptr || (SSL_set_tlsext_host_name(session.ssl, host_name) &&
                                      SSL_set1_host(session.ssl, host_name));
        SSL_SESSION* last =
            static_cast<SSL_SESSION*>(SSL_CTX_get_ex_data(config.ctx, g_session_slot));
        const char* last_host = last != nullptr ? SSL_SESSION_get0_hostname(last) : nullptr;
        const bool same_host = host_name == nullptr
                                   ? last_host == nullptr
                                   : last_host != nullptr && std::strcmp(last_host, host_name) == 0;
        // As the server does with its tickets: a session whose certificate has expired since
        // is not offered.
        const X509* server = last != nullptr ? SSL_SESSION_get0_peer(last) : nullptr;
        if (ok && resume && server != nullptr && same_host && SSL_SESSION_is_resumable(last) &&
            X509_cmp_current_time(X509_get0_notAfter(server)) > 0)
            ok = SSL_set_session(session.ssl, last);
    }
    ERR_clear_error();
    if (!ok) {
        SSL_free(session.ssl);
        session.ssl = nullptr;
        return 0;
    }
    session.open = true;
    return 1;
}

void tls_session_close(TlsSession& session) {
    if (!session.open)
        return;
    // A failed session sends nothing more; an established one says goodbye if the socket takes
    // it at once.
    if (session.established && session.failure == TlsFailure::none)
        SSL_shutdown(session.ssl);
    SSL_free(session.ssl);
    ERR_clear_error();
    session.ssl = nullptr;
    session.open = false;
    session.established = false;
    session.fd = -1;
}

int tls_handshake_step(TlsSession& session, bool& want_write) {
    want_write = false;
    ERR_clear_error();
    const int done = SSL_do_handshake(session.ssl);
    if (done == 1) {
        session.established = true;
        session.resumed = SSL_session_reused(session.ssl) != 0;
        return 1;
    }
    const int kind = SSL_get_error(session.ssl, done);
    if (wants_more(kind) && session.fault.what == TlsRefusal::none) {
        want_write = kind == SSL_ERROR_WANT_WRITE;
        return 0;
    }
    note_failure(session, kind);
    return -1;
}

int tls_handshake_until(TlsSession& session, int64_t deadline_us) {
    for (;;) {
        bool want_write = false;
        const int step = tls_handshake_step(session, want_write);
        if (step != 0)
            return step > 0 ? 1 : 0;
        if (wait_fd(session.fd, want_write ? WaitFor::write : WaitFor::read, deadline_us) <= 0) {
            session.failure = TlsFailure::timeout;
            return 0;
        }
    }
}

ssize_t tls_recv(TlsSession& session, void* buffer, size_t size) {
    ERR_clear_error();
    size_t n = 0;
    const int done = SSL_read_ex(session.ssl, buffer, size, &n);
    if (done == 1)
        return static_cast<ssize_t>(n);
    const int kind = SSL_get_error(session.ssl, done);
    if (wants_more(kind)) {
        errno = EAGAIN;
        return -1;
    }
    if (kind == SSL_ERROR_ZERO_RETURN)
        return 0;
    note_failure(session, kind);
    // A peer that leaves without close_notify (or in the middle of a record) has closed the
    // connection: each Modbus frame carries its own length.
    if (session.failure == TlsFailure::closed && session.socket_errno == 0) {
        session.failure = TlsFailure::none;
        return 0;
    }
    errno = EIO;
    return -1;
}

bool tls_pending(const TlsSession& session) {
    return session.open && SSL_pending(session.ssl) > 0;
}

int tls_send_all(TlsSession& session, const uint8_t* data, size_t size, int64_t deadline_us) {
    size_t sent = 0;
    while (sent < size) {
        ERR_clear_error();
        size_t n = 0;
        const int done = SSL_write_ex(session.ssl, data + sent, size - sent, &n);
        if (done == 1) {
            sent += n;
            continue;
        }
        const int kind = SSL_get_error(session.ssl, done);
        if (!wants_more(kind)) {
            note_failure(session, kind);
            errno = EIO;
            return 0;
        }
        const WaitFor what = kind == SSL_ERROR_WANT_WRITE ? WaitFor::write : WaitFor::read;
        if (wait_fd(session.fd, what, deadline_us) <= 0) {
            errno = EAGAIN;
            return 0;
        }
    }
    return 1;
}

int tls_send_now(TlsSession& session, const uint8_t* data, size_t size) {
    // The library keeps a record that did not fit into the socket, and sends it first when it
    // is called again (with the same bytes).
    ERR_clear_error();
    size_t n = 0;
    const int done = SSL_write_ex(session.ssl, data, size, &n);
    if (done == 1 && n == size)
        return 1;
    const int kind = SSL_get_error(session.ssl, done);
    if (done != 1 && wants_more(kind))
        return 0;
    note_failure(session, kind);
    return -1;
}

void tls_fault_text(const TlsFault& fault, char* text, size_t size) {
    const unsigned c = fault.cert, v = fault.value;
    switch (fault.what) {
    case TlsRefusal::none:
        std::snprintf(text, size, "no fault");
        break;
    case TlsRefusal::bytes:
        std::snprintf(text, size, "more than %u bytes before the end of the handshake",
                      TLS_HANDSHAKE_MAX_BYTES);
        break;
    case TlsRefusal::chain_length:
        std::snprintf(text, size, "the certificate chain holds more than %u certificates",
                      TLS_CHAIN_MAX);
        break;
    case TlsRefusal::unreadable:
        std::snprintf(text, size, "certificate %u of the chain cannot be read", c);
        break;
    case TlsRefusal::key_type:
        std::snprintf(text, size,
                      "certificate %u of the chain has a key that is not EC P-256 or P-384 or RSA",
                      c);
        break;
    case TlsRefusal::rsa_size:
        std::snprintf(text, size,
                      "certificate %u of the chain has an RSA key of %u bits (%u to %u accepted)",
                      c, v, TLS_RSA_MIN_BITS, TLS_RSA_MAX_BITS);
        break;
    case TlsRefusal::rsa_exponent:
        std::snprintf(text, size,
                      "certificate %u of the chain has an RSA exponent of %u bits (at most %u "
                      "accepted)",
                      c, v, TLS_RSA_MAX_EXPONENT_BITS);
        break;
    case TlsRefusal::repeated_subject:
        std::snprintf(text, size, "certificate %u of the chain has the subject of an earlier one",
                      c);
        break;
    case TlsRefusal::address:
        std::snprintf(text, size, "the certificate has no subject alternative name IP:%u.%u.%u.%u",
                      v >> 24, v >> 16 & 0xFF, v >> 8 & 0xFF, v & 0xFF);
        break;
    case TlsRefusal::signature_hash:
        std::snprintf(text, size,
                      "certificate %u of the chain is not signed with SHA-256, SHA-384 or SHA-512",
                      c);
        break;
    }
}

bool tls_failed_on_dates(const TlsSession& session) {
    return session.failure == TlsFailure::verify &&
           (session.verify_result == X509_V_ERR_CERT_HAS_EXPIRED ||
            session.verify_result == X509_V_ERR_CERT_NOT_YET_VALID);
}

void tls_reason(const TlsSession& session, char* text, size_t size) {
    switch (session.failure) {
    case TlsFailure::refused:
        tls_fault_text(session.fault, text, size);
        return;
    case TlsFailure::verify:
        if (session.verify_result != X509_V_OK) {
            std::snprintf(text, size, "%s", X509_verify_cert_error_string(session.verify_result));
            return;
        }
        break;
    case TlsFailure::timeout:
        std::snprintf(text, size, "timed out");
        return;
    case TlsFailure::none:
        std::snprintf(text, size, "no failure");
        return;
    default:
        break;
    }
    if (session.error != 0) {
        const char* words = ERR_reason_error_string(session.error);
        // The peer's alert by its name ("alert unknown ca"), without the protocol the library
        // versions name it after ("sslv3 alert", "ssl/tls alert", "tlsv1 alert").
        const char* alert = words != nullptr && session.failure == TlsFailure::alert
                                ? std::strstr(words, "alert ")
                                : nullptr;
        if (alert != nullptr)
            words = alert;
        if (words != nullptr)
            std::snprintf(text, size, "%s", words);
        else
            std::snprintf(text, size, "error %lX", session.error);
    } else if (session.socket_errno != 0) {
        std::snprintf(text, size, "%s", std::strerror(session.socket_errno));
    } else {
        std::snprintf(text, size, "the connection was closed");
    }
}

int tls_judge_certs(x509_st* leaf, const stack_st_X509* others, TlsFault& fault) {
    fault = {};
    // The chain as the peer sent it, its own certificate first (the library's list of the others
    // begins with that one again), judged one certificate after the other.
    X509* chain[TLS_CHAIN_MAX];
    uint32_t count = 0;
    for (int i = -1; i < sk_X509_num(others); ++i) {
        X509* cert = i < 0 ? leaf : sk_X509_value(others, i);
        if (cert == nullptr || (i >= 0 && cert == leaf))
            continue;
        if (count == TLS_CHAIN_MAX) {
            fault = {TlsRefusal::chain_length, count + 1, 0};
            return 0;
        }
        // Names compared as the verification compares them when it looks for a certificate's
        // issuer (in their canonical form: letter case and runs of spaces do not count).
        for (uint32_t j = 0; j < count; ++j)
            if (X509_NAME_cmp(X509_get_subject_name(chain[j]), X509_get_subject_name(cert)) == 0) {
                fault = {TlsRefusal::repeated_subject, count + 1, 0};
                return 0;
            }
        if (!judge_cert(cert, count + 1, fault))
            return 0;
        chain[count++] = cert;
    }
    return 1;
}

int tls_check_peer_address(TlsSession& session, uint32_t address) {
    if (session.open && carries_address(SSL_get0_peer_certificate(session.ssl), address))
        return 1;
    session.fault = {TlsRefusal::address, 1, address};
    session.failure = TlsFailure::refused;
    return 0;
}

int tls_key_exposed(const char* path, gid_t group, unsigned& mode) {
    struct stat st {};
    if (stat(path, &st) != 0)
        return 0;
    mode = static_cast<unsigned>(st.st_mode & 07777);
    return (st.st_mode & S_IROTH) != 0 || ((st.st_mode & S_IRGRP) != 0 && st.st_gid != group);
}

namespace {

// The role in the DER content of the role extension: a UTF8String and nothing after it.
bool read_role(const unsigned char* p, long size, char* role, size_t room) {
    const unsigned char* const end = p + size;
    long length = 0;
    int tag = 0, type = 0;
    const int form = ASN1_get_object(&p, &length, &tag, &type, size);
    if ((form & 0x80) != 0 || form != 0 || type != V_ASN1_UNIVERSAL || tag != V_ASN1_UTF8STRING ||
        length != end - p)
        return false;
    // A role is one word of visible ASCII, so that it can be logged and listed as it is.
    const size_t text = static_cast<size_t>(length);
    if (text == 0 || text >= room)
        return false;
    for (size_t i = 0; i < text; ++i)
        if (p[i] <= ' ' || p[i] > '~' || p[i] == ',')
            return false;
    std::memcpy(role, p, text);
    role[text] = '\0';
    return true;
}

bool find_role(const X509& cert, char* role, size_t size) {
    bool found = false;
    for (int i = 0; i < X509_get_ext_count(&cert); ++i) {
        const X509_EXTENSION* ext = X509_get_ext(&cert, i);
        const ASN1_OBJECT* oid = X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(ext));
        if (OBJ_length(oid) != sizeof ROLE_OID ||
            std::memcmp(OBJ_get0_data(oid), ROLE_OID, sizeof ROLE_OID) != 0)
            continue;
        // A second role extension makes the role ambiguous: none.
        if (found)
            return false;
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(ext));
        if (!read_role(ASN1_STRING_get0_data(value), ASN1_STRING_length(value), role, size))
            return false;
        found = true;
    }
    return found;
}

} // namespace

int tls_cert_role(const x509_st& cert, char* role, size_t size) {
    if (find_role(cert, role, size))
        return 1;
    role[0] = '\0';
    return 0;
}

int tls_peer_role(const TlsSession& session, char* role, size_t size) {
    // The certificate of a resumed session is the one it showed when the session was made.
    const X509* peer = session.open ? SSL_get0_peer_certificate(session.ssl) : nullptr;
    if (peer == nullptr) {
        role[0] = '\0';
        return 0;
    }
    return tls_cert_role(*peer, role, size);
}

namespace {

void date_text(const ASN1_TIME* time, char (&text)[11]) {
    std::tm t{};
    char date[32] = "?";
    if (ASN1_TIME_to_tm(time, &t) == 1)
        std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday);
    std::snprintf(text, sizeof text, "%.10s", date);
}

} // namespace

void tls_cert_dates(const x509_st& cert, TlsCertDates& dates) {
    date_text(X509_get0_notBefore(&cert), dates.from);
    date_text(X509_get0_notAfter(&cert), dates.until);
    dates.now = X509_cmp_current_time(X509_get0_notBefore(&cert)) > 0  ? -1
                : X509_cmp_current_time(X509_get0_notAfter(&cert)) < 0 ? 1
                                                                       : 0;
}

TlsUsage tls_cert_usage(const x509_st& cert, bool server) {
    // The library reads the extensions into flags on first use; the certificate is not changed.
    X509* x = const_cast<X509*>(&cert);
    const uint32_t flags = X509_get_extension_flags(x);
    const uint32_t wanted = server ? XKU_SSL_SERVER : XKU_SSL_CLIENT;
    if ((flags & EXFLAG_XKUSAGE) != 0 &&
        (X509_get_extended_key_usage(x) & (wanted | XKU_ANYEKU)) == 0)
        return TlsUsage::extended_key_usage;
    if ((flags & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(x) & KU_DIGITAL_SIGNATURE) == 0)
        return TlsUsage::key_usage;
    return TlsUsage::allowed;
}

int tls_check_peer_file(const TlsCredentials& credentials, const char* path, x509_st*& leaf,
                        char* reason, size_t size) {
    leaf = nullptr;
    STACK_OF(X509)* certs = nullptr;
    if (!read_certs(path, certs, reason, size))
        return -1;
    X509* own = sk_X509_value(certs, 0);
    TlsFault fault;
    int result = 0;
    X509_STORE_CTX* store = X509_STORE_CTX_new();
    if (!tls_judge_certs(own, certs, fault)) {
        tls_fault_text(fault, reason, size);
    } else if (store == nullptr || credentials.server.ctx == nullptr ||
               !X509_STORE_CTX_init(store, SSL_CTX_get_cert_store(credentials.server.ctx), own,
                                    certs)) {
        std::snprintf(reason, size, "%s", library_reason("out of memory"));
    } else {
        // As the handshake verifies it, apart from its use (the caller says what that lacks).
        X509_VERIFY_PARAM_set_auth_level(X509_STORE_CTX_get0_param(store), SECURITY_LEVEL);
        if (X509_verify_cert(store) > 0) {
            X509_up_ref(own);
            leaf = own;
            result = 1;
        } else {
            std::snprintf(reason, size, "%s",
                          X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)));
        }
    }
    X509_STORE_CTX_free(store);
    sk_X509_pop_free(certs, X509_free);
    ERR_clear_error();
    return result;
}

void tls_cert_free(x509_st* cert) {
    X509_free(cert);
}
