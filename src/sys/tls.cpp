// SPDX-License-Identifier: Apache-2.0
#include "sys/tls.h"

#include <mbedtls/asn1.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/deadline.h"

namespace {

// TLS_ROLE_OID_TEXT as DER encodes it (the content of its OBJECT IDENTIFIER).
constexpr unsigned char ROLE_OID[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x83,
                                      0x89, 0x0C, 0x86, 0x22, 0x01};

// The session's transport: never waits, so the library returns WANT_READ / WANT_WRITE instead.
int bio_send(void* context, const unsigned char* data, size_t size) {
    const int fd = *static_cast<const int*>(context);
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
    const int fd = *static_cast<const int*>(context);
    ssize_t n;
    do
        n = recv(fd, buffer, size, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
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
    // The input and output buffers (about 16 KiB each) are allocated here, once.
    if (mbedtls_ssl_setup(&session.ssl, &config) != 0 ||
        (host_name != nullptr && mbedtls_ssl_set_hostname(&session.ssl, host_name) != 0)) {
        mbedtls_ssl_free(&session.ssl);
        session.open = false;
        return 0;
    }
    mbedtls_ssl_set_bio(&session.ssl, &session.fd, bio_send, bio_recv, nullptr);
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

void tls_reason(const TlsSession& session, char* text, size_t size) {
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

int tls_cert_role(const mbedtls_x509_crt& cert, char* role, size_t size) {
    role[0] = '\0';
    unsigned char* p = cert.v3_ext.p;
    if (p == nullptr || cert.v3_ext.len == 0)
        return 0;
    const unsigned char* end = p + cert.v3_ext.len;
    size_t len = 0;
    // The buffer may begin with the [3] wrapper or with the SEQUENCE OF Extension inside it.
    if (*p == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 3) &&
        mbedtls_asn1_get_tag(&p, end, &len,
                             MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 3) != 0)
        return 0;
    if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return 0;
    end = p + len;
    while (p < end) {
        // Extension ::= SEQUENCE { extnID OID, critical BOOLEAN DEFAULT FALSE, extnValue OCTETS }
        if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
            0)
            return 0;
        unsigned char* const next = p + len;
        size_t oid_len = 0;
        if (mbedtls_asn1_get_tag(&p, next, &oid_len, MBEDTLS_ASN1_OID) != 0)
            return 0;
        const bool role_oid =
            oid_len == sizeof ROLE_OID && std::memcmp(p, ROLE_OID, sizeof ROLE_OID) == 0;
        p += oid_len;
        if (!role_oid) {
            p = next;
            continue;
        }
        int critical = 0;
        if (p < next && *p == MBEDTLS_ASN1_BOOLEAN && mbedtls_asn1_get_bool(&p, next, &critical))
            return 0;
        size_t octets = 0, text = 0;
        if (mbedtls_asn1_get_tag(&p, next, &octets, MBEDTLS_ASN1_OCTET_STRING) != 0 ||
            mbedtls_asn1_get_tag(&p, p + octets, &text, MBEDTLS_ASN1_UTF8_STRING) != 0)
            return 0;
        // A role is one word of visible ASCII, so that it can be logged and listed as it is.
        if (text == 0 || text >= size)
            return 0;
        for (size_t i = 0; i < text; ++i)
            if (p[i] <= ' ' || p[i] > '~' || p[i] == ',')
                return 0;
        std::memcpy(role, p, text);
        role[text] = '\0';
        return 1;
    }
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
