// SPDX-License-Identifier: Apache-2.0
#include "sys/tls.h"

#include <mbedtls/asn1.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/oid.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/deadline.h"

namespace {

// TLS_ROLE_OID_TEXT as DER encodes it (the content of its OBJECT IDENTIFIER).
constexpr unsigned char ROLE_OID[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x83,
                                      0x89, 0x0C, 0x86, 0x22, 0x01};

// Ephemeral ECDHE key exchange with AEAD ciphers only, for an EC or an RSA certificate: forward
// secrecy, and no CBC, CCM-8 or Camellia. Key exchange on the curves the certificates may use.
constexpr int CIPHERSUITES[] = {
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
#if defined(MBEDTLS_CHACHAPOLY_C)
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
#endif
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
#if defined(MBEDTLS_CHACHAPOLY_C)
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
#endif
    0,
};
constexpr mbedtls_ecp_group_id CURVES[] = {MBEDTLS_ECP_DP_CURVE25519, MBEDTLS_ECP_DP_SECP256R1,
                                           MBEDTLS_ECP_DP_SECP384R1, MBEDTLS_ECP_DP_NONE};

size_t u24(const unsigned char* p) {
    return size_t{p[0]} << 16 | size_t{p[1]} << 8 | p[2];
}

// The bits of a DER INTEGER's value (its leading zero bytes skipped).
uint32_t integer_bits(const unsigned char* p, size_t size) {
    while (size > 0 && *p == 0)
        ++p, --size;
    if (size == 0)
        return 0;
    uint32_t bits = static_cast<uint32_t>(size - 1) * 8;
    for (unsigned top = *p; top != 0; top >>= 1)
        ++bits;
    return bits;
}

// A certificate's subject and key, found by walking its DER only as far as its
// subjectPublicKeyInfo (nothing is allocated, nothing is verified).
struct CertKey {
    const unsigned char* subject = nullptr;
    size_t subject_size = 0;
    mbedtls_asn1_buf algorithm{}, parameters{};
    unsigned char* key = nullptr; // the BIT STRING's content
    size_t key_size = 0;
};

bool read_cert_key(const unsigned char* der, size_t size, CertKey& out) {
    // The asn1 readers take non-const pointers but only read.
    unsigned char* p = const_cast<unsigned char*>(der);
    const unsigned char* end = der + size;
    constexpr int SEQUENCE = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;
    size_t len = 0;
    // Certificate ::= SEQUENCE { TBSCertificate ::= SEQUENCE { [0] version OPTIONAL, serial,
    // signature, issuer, validity, subject, subjectPublicKeyInfo, ... }, ... }
    if (mbedtls_asn1_get_tag(&p, end, &len, SEQUENCE) != 0 ||
        mbedtls_asn1_get_tag(&p, end, &len, SEQUENCE) != 0)
        return false;
    end = p + len;
    constexpr int VERSION = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 0;
    if (p < end && *p == VERSION) {
        if (mbedtls_asn1_get_tag(&p, end, &len, VERSION) != 0)
            return false;
        p += len;
    }
    for (const int tag : {MBEDTLS_ASN1_INTEGER, SEQUENCE, SEQUENCE, SEQUENCE}) {
        if (mbedtls_asn1_get_tag(&p, end, &len, tag) != 0)
            return false;
        p += len;
    }
    if (mbedtls_asn1_get_tag(&p, end, &len, SEQUENCE) != 0)
        return false;
    out.subject = p;
    out.subject_size = len;
    p += len;
    if (mbedtls_asn1_get_tag(&p, end, &len, SEQUENCE) != 0)
        return false;
    end = p + len;
    if (mbedtls_asn1_get_alg(&p, end, &out.algorithm, &out.parameters) != 0 ||
        mbedtls_asn1_get_bitstring_null(&p, end, &out.key_size) != 0)
        return false;
    out.key = p;
    return true;
}

// The key of certificate `index` (counted from 1) of a chain, and its subject against those of the
// certificates before it (`subjects`, room for TLS_CHAIN_MAX); a chain longer than that is refused.
bool judge_cert(const unsigned char* der, size_t size, uint32_t index, CertKey* subjects,
                TlsFault& fault) {
    if (index > TLS_CHAIN_MAX) {
        fault = {TlsRefusal::chain_length, index, 0};
        return false;
    }
    fault = {TlsRefusal::none, index, 0};
    CertKey& cert = subjects[index - 1];
    mbedtls_pk_type_t type = MBEDTLS_PK_NONE;
    if (!read_cert_key(der, size, cert)) {
        fault.what = TlsRefusal::unreadable;
        return false;
    }
    for (uint32_t i = 0; i + 1 < index; ++i)
        if (subjects[i].subject_size == cert.subject_size &&
            std::memcmp(subjects[i].subject, cert.subject, cert.subject_size) == 0) {
            fault.what = TlsRefusal::repeated_subject;
            return false;
        }
    fault.what = TlsRefusal::key_type;
    if (mbedtls_oid_get_pk_alg(&cert.algorithm, &type) != 0)
        return false;
    if (type == MBEDTLS_PK_ECKEY) {
        mbedtls_ecp_group_id curve = MBEDTLS_ECP_DP_NONE;
        if (cert.parameters.tag != MBEDTLS_ASN1_OID ||
            mbedtls_oid_get_ec_grp(&cert.parameters, &curve) != 0 ||
            (curve != MBEDTLS_ECP_DP_SECP256R1 && curve != MBEDTLS_ECP_DP_SECP384R1))
            return false;
        fault.what = TlsRefusal::none;
        return true;
    }
    if (type != MBEDTLS_PK_RSA)
        return false;
    // RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
    unsigned char* p = cert.key;
    const unsigned char* end = cert.key + cert.key_size;
    size_t n_size = 0, e_size = 0;
    fault.what = TlsRefusal::unreadable;
    if (mbedtls_asn1_get_tag(&p, end, &n_size, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
            0 ||
        mbedtls_asn1_get_tag(&p, end, &n_size, MBEDTLS_ASN1_INTEGER) != 0)
        return false;
    const uint32_t n_bits = integer_bits(p, n_size);
    p += n_size;
    if (mbedtls_asn1_get_tag(&p, end, &e_size, MBEDTLS_ASN1_INTEGER) != 0)
        return false;
    const uint32_t e_bits = integer_bits(p, e_size);
    fault = n_bits < TLS_RSA_MIN_BITS || n_bits > TLS_RSA_MAX_BITS
                ? TlsFault{TlsRefusal::rsa_size, index, n_bits}
            : e_bits > TLS_RSA_MAX_EXPONENT_BITS ? TlsFault{TlsRefusal::rsa_exponent, index, e_bits}
                                                 : TlsFault{};
    return fault.what == TlsRefusal::none;
}

bool refuse(TlsSession& session, TlsRefusal what) {
    session.fault = {what, 0, 0};
    return false;
}

// The peer's bytes before its handshake has ended, `data` just received: counted, and each
// plaintext handshake record judged once its last byte has come, before the library sees it.
bool screen_handshake(TlsSession& session, const unsigned char* data, size_t size) {
    session.received += static_cast<uint32_t>(size); // at most the library's buffer
    if (session.received > TLS_HANDSHAKE_MAX_BYTES)
        return refuse(session, TlsRefusal::bytes);
    if (session.peer_encrypts)
        return true;
    // The library reads a record into its input buffer from in_hdr on, header first, asking each
    // time for exactly the bytes it still lacks; in_left counts those it has.
    const unsigned char* record = session.ssl.in_hdr;
    if (data != record + session.ssl.in_left)
        return refuse(session, TlsRefusal::unchecked);
    const size_t have = session.ssl.in_left + size;
    if (have < 5)
        return true;
    const size_t length = size_t{record[3]} << 8 | record[4];
    if (have < 5 + length)
        return true;
    if (record[0] == MBEDTLS_SSL_MSG_CHANGE_CIPHER_SPEC)
        session.peer_encrypts = true;
    if (record[0] != MBEDTLS_SSL_MSG_HANDSHAKE)
        return true;
    // A record may hold several handshake messages. One that goes on past the record's end is
    // refused by the library, which does not reassemble them.
    const unsigned char* m = record + 5;
    for (const unsigned char* end = m + length; end - m >= 4;) {
        const size_t body = u24(m + 1);
        if (body > static_cast<size_t>(end - m - 4))
            break;
        if (m[0] == MBEDTLS_SSL_HS_CERTIFICATE && !tls_judge_chain(m + 4, body, session.fault))
            return false;
        m += 4 + body;
    }
    return true;
}

// The session's transport: never waits, so the library returns WANT_READ / WANT_WRITE instead.
int bio_send(void* context, const unsigned char* data, size_t size) {
    const int fd = static_cast<const TlsSession*>(context)->fd;
    ssize_t n;
    do
        n = send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n >= 0)
        return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return MBEDTLS_ERR_SSL_WANT_WRITE;
    return errno == EPIPE || errno == ECONNRESET ? MBEDTLS_ERR_NET_CONN_RESET
                                                 : MBEDTLS_ERR_NET_SEND_FAILED;
}

int bio_recv(void* context, unsigned char* buffer, size_t size) {
    TlsSession& session = *static_cast<TlsSession*>(context);
    ssize_t n;
    do
        n = recv(session.fd, buffer, size, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0 && !session.established && !screen_handshake(session, buffer, static_cast<size_t>(n)))
        return MBEDTLS_ERR_SSL_BAD_HS_CERTIFICATE;
    if (n >= 0)
        return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return MBEDTLS_ERR_SSL_WANT_READ;
    return errno == ECONNRESET ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_RECV_FAILED;
}

void set_reason(char* reason, size_t size, const char* path, int code) {
    char words[TLS_REASON_SIZE];
    tls_error_text(code, words, sizeof words);
    std::snprintf(reason, size, "%s: %s", path, words);
}

int setup_config(TlsCredentials& c, mbedtls_ssl_config& config, int endpoint) {
    mbedtls_ssl_config_init(&config);
    if (mbedtls_ssl_config_defaults(&config, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0)
        return 0;
    mbedtls_ssl_conf_min_version(&config, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_authmode(&config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&config, &c.ca, nullptr);
    mbedtls_ssl_conf_cert_profile(&config, &TLS_CERT_PROFILE);
    mbedtls_ssl_conf_ciphersuites(&config, CIPHERSUITES);
    mbedtls_ssl_conf_curves(&config, CURVES);
    mbedtls_ssl_conf_rng(&config, mbedtls_ctr_drbg_random, &c.drbg);
    return mbedtls_ssl_conf_own_cert(&config, &c.cert, &c.key) == 0;
}

} // namespace

int tls_credentials_load(TlsCredentials& c, const char* cert_path, const char* key_path,
                         const char* ca_path, char* reason, size_t reason_size) {
    mbedtls_x509_crt_init(&c.cert);
    mbedtls_pk_init(&c.key);
    mbedtls_x509_crt_init(&c.ca);
    mbedtls_entropy_init(&c.entropy);
    mbedtls_ctr_drbg_init(&c.drbg);
    mbedtls_ssl_config_init(&c.server);
    mbedtls_ssl_config_init(&c.client);
    c.ready = false;
    int code = mbedtls_x509_crt_parse_file(&c.cert, cert_path);
    if (code != 0) {
        set_reason(reason, reason_size, cert_path, code);
        return 0;
    }
    if ((code = mbedtls_pk_parse_keyfile(&c.key, key_path, nullptr)) != 0) {
        set_reason(reason, reason_size, key_path, code);
        return 0;
    }
    if (mbedtls_pk_check_pair(&c.cert.pk, &c.key) != 0) {
        std::snprintf(reason, reason_size, "%s: the key does not match the certificate %s",
                      key_path, cert_path);
        return 0;
    }
    if ((code = mbedtls_x509_crt_parse_file(&c.ca, ca_path)) != 0) {
        set_reason(reason, reason_size, ca_path, code);
        return 0;
    }
    static constexpr unsigned char personal[] = "kovex4";
    if ((code = mbedtls_ctr_drbg_seed(&c.drbg, mbedtls_entropy_func, &c.entropy, personal,
                                      sizeof personal - 1)) != 0) {
        set_reason(reason, reason_size, "random generator", code);
        return 0;
    }
    if (!setup_config(c, c.server, MBEDTLS_SSL_IS_SERVER) ||
        !setup_config(c, c.client, MBEDTLS_SSL_IS_CLIENT)) {
        std::snprintf(reason, reason_size, "the TLS configuration cannot be set up");
        return 0;
    }
    c.ready = true;
    return 1;
}

void tls_credentials_free(TlsCredentials& c) {
    mbedtls_ssl_config_free(&c.server);
    mbedtls_ssl_config_free(&c.client);
    mbedtls_ctr_drbg_free(&c.drbg);
    mbedtls_entropy_free(&c.entropy);
    mbedtls_x509_crt_free(&c.ca);
    mbedtls_pk_free(&c.key);
    mbedtls_x509_crt_free(&c.cert);
    c.ready = false;
}

int tls_session_open(TlsSession& session, const mbedtls_ssl_config& config, int fd,
                     const char* host_name) {
    mbedtls_ssl_init(&session.ssl);
    session.fd = fd;
    session.established = false;
    session.last_error = 0;
    session.received = 0;
    session.peer_encrypts = false;
    session.fault = {};
    // The input and output buffers (about 16 KiB each) are allocated here, once.
    if (mbedtls_ssl_setup(&session.ssl, &config) != 0 ||
        (host_name != nullptr && mbedtls_ssl_set_hostname(&session.ssl, host_name) != 0)) {
        mbedtls_ssl_free(&session.ssl);
        session.open = false;
        return 0;
    }
    mbedtls_ssl_set_bio(&session.ssl, &session, bio_send, bio_recv, nullptr);
    session.open = true;
    return 1;
}

void tls_session_close(TlsSession& session) {
    if (!session.open)
        return;
    if (session.established)
        mbedtls_ssl_close_notify(&session.ssl);
    mbedtls_ssl_free(&session.ssl);
    session.open = false;
    session.established = false;
    session.fd = -1;
}

int tls_handshake_step(TlsSession& session, bool& want_write) {
    want_write = false;
    const int code = mbedtls_ssl_handshake(&session.ssl);
    if (code == 0) {
        session.established = true;
        return 1;
    }
    if (code == MBEDTLS_ERR_SSL_WANT_READ || code == MBEDTLS_ERR_SSL_WANT_WRITE) {
        want_write = code == MBEDTLS_ERR_SSL_WANT_WRITE;
        return 0;
    }
    session.last_error = code;
    // The peer learns why the gateway refused it, if its socket takes the alert at once.
    if (session.fault.what != TlsRefusal::none)
        mbedtls_ssl_send_alert_message(&session.ssl, MBEDTLS_SSL_ALERT_LEVEL_FATAL,
                                       session.fault.what == TlsRefusal::bytes
                                           ? MBEDTLS_SSL_ALERT_MSG_HANDSHAKE_FAILURE
                                           : MBEDTLS_SSL_ALERT_MSG_BAD_CERT);
    return -1;
}

int tls_handshake_until(TlsSession& session, int64_t deadline_us) {
    for (;;) {
        bool want_write = false;
        const int step = tls_handshake_step(session, want_write);
        if (step != 0)
            return step > 0 ? 1 : 0;
        if (wait_fd(session.fd, want_write ? WaitFor::write : WaitFor::read, deadline_us) <= 0) {
            session.last_error = MBEDTLS_ERR_SSL_TIMEOUT;
            return 0;
        }
    }
}

ssize_t tls_recv(TlsSession& session, void* buffer, size_t size) {
    const int n = mbedtls_ssl_read(&session.ssl, static_cast<unsigned char*>(buffer), size);
    if (n > 0)
        return n;
    if (n == 0 || n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || n == MBEDTLS_ERR_SSL_CONN_EOF)
        return 0;
    if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
        errno = EAGAIN;
        return -1;
    }
    session.last_error = n;
    errno = EIO;
    return -1;
}

bool tls_pending(const TlsSession& session) {
    return session.open && mbedtls_ssl_check_pending(&session.ssl) != 0;
}

int tls_send_all(TlsSession& session, const uint8_t* data, size_t size, int64_t deadline_us) {
    size_t sent = 0;
    while (sent < size) {
        const int n = mbedtls_ssl_write(&session.ssl, data + sent, size - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n != MBEDTLS_ERR_SSL_WANT_WRITE && n != MBEDTLS_ERR_SSL_WANT_READ) {
            session.last_error = n;
            errno = EIO;
            return 0;
        }
        const WaitFor what = n == MBEDTLS_ERR_SSL_WANT_WRITE ? WaitFor::write : WaitFor::read;
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
    const int n = mbedtls_ssl_write(&session.ssl, data, size);
    if (n == MBEDTLS_ERR_SSL_WANT_WRITE || n == MBEDTLS_ERR_SSL_WANT_READ)
        return 0;
    if (n < 0 || static_cast<size_t>(n) != size) {
        session.last_error = n < 0 ? n : MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
        return -1;
    }
    return 1;
}

void tls_error_text(int code, char* text, size_t size) {
    mbedtls_strerror(code, text, size);
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
    case TlsRefusal::unchecked:
        std::snprintf(text, size, "the handshake's records cannot be followed");
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
    }
}

void tls_reason(const TlsSession& session, char* text, size_t size) {
    if (session.fault.what != TlsRefusal::none) {
        tls_fault_text(session.fault, text, size);
        return;
    }
    tls_error_text(session.last_error, text, size);
    if (session.last_error != MBEDTLS_ERR_X509_CERT_VERIFY_FAILED || !session.open)
        return;
    // What the verification found, one "; "-separated item per line of the library's report.
    char found[TLS_REASON_SIZE];
    if (mbedtls_x509_crt_verify_info(found, sizeof found, "",
                                     mbedtls_ssl_get_verify_result(&session.ssl)) <= 0)
        return;
    size_t used = std::strlen(text);
    for (char* line = std::strtok(found, "\n"); line != nullptr && used + 3 < size;
         line = std::strtok(nullptr, "\n")) {
        const int n = std::snprintf(text + used, size - used, "; %s", line);
        if (n < 0)
            break;
        used = std::min(size - 1, used + static_cast<size_t>(n));
    }
}

int tls_judge_chain(const uint8_t* body, size_t size, TlsFault& fault) {
    fault = {};
    // A list that does not add up is the library's to refuse; what it holds is judged here.
    if (size < 3)
        return 1;
    const unsigned char* p = body + 3;
    const unsigned char* const end = p + std::min(u24(body), size - 3);
    CertKey certs[TLS_CHAIN_MAX];
    for (uint32_t index = 1; end - p >= 3; ++index) {
        const size_t cert_size = u24(p);
        p += 3;
        if (cert_size > static_cast<size_t>(end - p))
            break;
        if (!judge_cert(p, cert_size, index, certs, fault))
            return 0;
        p += cert_size;
    }
    return 1;
}

int tls_judge_certs(const mbedtls_x509_crt& chain, TlsFault& fault) {
    fault = {};
    CertKey certs[TLS_CHAIN_MAX];
    uint32_t index = 1;
    for (const mbedtls_x509_crt* cert = &chain; cert != nullptr && cert->raw.p != nullptr;
         cert = cert->next, ++index)
        if (!judge_cert(cert->raw.p, cert->raw.len, index, certs, fault))
            return 0;
    return 1;
}

int tls_check_peer_address(TlsSession& session, uint32_t address) {
    const mbedtls_x509_crt* peer = session.open ? mbedtls_ssl_get_peer_cert(&session.ssl) : nullptr;
    const unsigned char wanted[4] = {
        static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
        static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
    // The library keeps every subject alternative name as it is: an iPAddress is [7] with the
    // address's four bytes.
    for (const mbedtls_x509_sequence* name = peer != nullptr ? &peer->subject_alt_names : nullptr;
         name != nullptr; name = name->next)
        if (name->buf.tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_X509_SAN_IP_ADDRESS) &&
            name->buf.len == sizeof wanted && std::memcmp(name->buf.p, wanted, sizeof wanted) == 0)
            return 1;
    session.fault = {TlsRefusal::address, 1, address};
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

bool find_role(const mbedtls_x509_crt& cert, char* role, size_t size) {
    unsigned char* p = cert.v3_ext.p;
    if (p == nullptr || cert.v3_ext.len == 0)
        return false;
    const unsigned char* end = p + cert.v3_ext.len;
    size_t len = 0;
    // The buffer may begin with the [3] wrapper or with the SEQUENCE OF Extension inside it.
    if (*p == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 3) &&
        mbedtls_asn1_get_tag(&p, end, &len,
                             MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 3) != 0)
        return false;
    if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return false;
    end = p + len;
    bool found = false;
    while (p < end) {
        // Extension ::= SEQUENCE { extnID OID, critical BOOLEAN DEFAULT FALSE, extnValue OCTETS }
        if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
            0)
            return false;
        unsigned char* const next = p + len;
        size_t oid_len = 0;
        if (mbedtls_asn1_get_tag(&p, next, &oid_len, MBEDTLS_ASN1_OID) != 0)
            return false;
        const bool role_oid =
            oid_len == sizeof ROLE_OID && std::memcmp(p, ROLE_OID, sizeof ROLE_OID) == 0;
        p += oid_len;
        if (!role_oid) {
            p = next;
            continue;
        }
        // A second role extension makes the role ambiguous: none.
        if (found)
            return false;
        int critical = 0;
        if (p < next && *p == MBEDTLS_ASN1_BOOLEAN && mbedtls_asn1_get_bool(&p, next, &critical))
            return false;
        size_t octets = 0, text = 0;
        // The extension holds its UTF8String and nothing else.
        if (mbedtls_asn1_get_tag(&p, next, &octets, MBEDTLS_ASN1_OCTET_STRING) != 0 ||
            p + octets != next ||
            mbedtls_asn1_get_tag(&p, next, &text, MBEDTLS_ASN1_UTF8_STRING) != 0 ||
            p + text != next)
            return false;
        // A role is one word of visible ASCII, so that it can be logged and listed as it is.
        if (text == 0 || text >= size)
            return false;
        for (size_t i = 0; i < text; ++i)
            if (p[i] <= ' ' || p[i] > '~' || p[i] == ',')
                return false;
        std::memcpy(role, p, text);
        role[text] = '\0';
        found = true;
        p = next;
    }
    return found;
}

} // namespace

int tls_cert_role(const mbedtls_x509_crt& cert, char* role, size_t size) {
    if (find_role(cert, role, size))
        return 1;
    role[0] = '\0';
    return 0;
}

int tls_peer_role(const TlsSession& session, char* role, size_t size) {
    const mbedtls_x509_crt* peer = session.open ? mbedtls_ssl_get_peer_cert(&session.ssl) : nullptr;
    if (peer == nullptr) {
        role[0] = '\0';
        return 0;
    }
    return tls_cert_role(*peer, role, size);
}
