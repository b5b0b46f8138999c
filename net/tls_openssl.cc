// The TLS calls over OpenSSL. Each handle owns its own context and
// connection object; the table of handles is shared by all threads.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "net/tls.h"

namespace norv {
namespace {

struct Connection {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  ~Connection() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
  }
};

std::mutex g_mutex;
std::map<std::int32_t, std::shared_ptr<Connection>> g_connections;
std::int32_t g_next_handle = 101;

std::int32_t Register(std::shared_ptr<Connection> c) {
  std::lock_guard<std::mutex> lock(g_mutex);
  while (g_connections.count(g_next_handle) || g_next_handle <= 100) {
    g_next_handle = g_next_handle < 0x7FFFFFFF ? g_next_handle + 1 : 101;
  }
  std::int32_t handle = g_next_handle++;
  if (g_next_handle <= 100) g_next_handle = 101;
  g_connections[handle] = std::move(c);
  return handle;
}

std::shared_ptr<Connection> Find(std::int32_t handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_connections.find(handle);
  return it == g_connections.end() ? nullptr : it->second;
}

void CopyOut(const std::string& text, char* buffer, std::int32_t size) {
  if (!buffer || size < 1) return;
  std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

std::string NameText(const X509_NAME* name) {
  if (!name) return "";
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return "";
  std::string text;
  if (X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253) >= 0) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    if (n > 0 && data) text.assign(data, static_cast<std::size_t>(n));
  }
  BIO_free(bio);
  return text;
}

// Sets errno the way the socket layer reads a failed call: EAGAIN when the
// same call should simply be made again later.
std::int32_t Failed(SSL* ssl, int ret) {
  int e = SSL_get_error(ssl, ret);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
    errno = EAGAIN;
  } else if (e != SSL_ERROR_SYSCALL || errno == 0 || errno == EAGAIN) {
    errno = ECONNRESET;
  }
  return -1;
}

bool UseCertificate(SSL_CTX* ctx, const char* pem) {
  BIO* bio = BIO_new_mem_buf(pem, -1);
  if (!bio) return false;
  bool ok = false;
  if (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    ok = SSL_CTX_use_certificate(ctx, cert) == 1;
    X509_free(cert);
    // Certificates after the first one form the chain sent to the client.
    while (ok) {
      X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
      if (!extra) break;
      if (SSL_CTX_add_extra_chain_cert(ctx, extra) != 1) {
        X509_free(extra);
        ok = false;
      }
    }
  }
  BIO_free(bio);
  ERR_clear_error();  // the end of the PEM text is reported as an error
  return ok;
}

bool UseKey(SSL_CTX* ctx, const char* pem) {
  BIO* bio = BIO_new_mem_buf(pem, -1);
  if (!bio) return false;
  bool ok = false;
  if (EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr)) {
    ok = SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    EVP_PKEY_free(key);
  }
  BIO_free(bio);
  return ok;
}

}  // namespace

std::int32_t ssl_init_client(std::int32_t socket, const char* ca_file) {
  ERR_clear_error();
  auto c = std::make_shared<Connection>();
  c->ctx = SSL_CTX_new(TLS_client_method());
  if (!c->ctx) return 0;
  SSL_CTX_set_min_proto_version(c->ctx, TLS1_2_VERSION);
  // A peer that closes without close_notify reads as a plain end of stream.
  SSL_CTX_set_options(c->ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (ca_file && *ca_file) {
    SSL_CTX_load_verify_locations(c->ctx, ca_file, nullptr);
  } else {
    SSL_CTX_set_default_verify_paths(c->ctx);
  }
  // The hand-shake completes with any certificate; the owner learns through
  // ssl_getverify whether the peer was trusted.
  SSL_CTX_set_verify(c->ctx, SSL_VERIFY_NONE, nullptr);
  c->ssl = SSL_new(c->ctx);
  if (!c->ssl || SSL_set_fd(c->ssl, socket) != 1) return 0;
  if (SSL_connect(c->ssl) != 1) {
    ERR_clear_error();
    return 0;
  }
  return Register(std::move(c));
}

namespace {

// A server connection with its context: TLS 1.2 or later, the certificate
// and key given as PEM text. nullptr (errors cleared) when either is missing
// or unusable.
std::shared_ptr<Connection> NewServerConnection(const char* certificate, const char* key) {
  ERR_clear_error();
  if (!certificate || !key) return nullptr;
  auto c = std::make_shared<Connection>();
  c->ctx = SSL_CTX_new(TLS_server_method());
  if (!c->ctx) return nullptr;
  SSL_CTX_set_min_proto_version(c->ctx, TLS1_2_VERSION);
  // A peer that closes without close_notify reads as a plain end of stream.
  SSL_CTX_set_options(c->ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (!UseCertificate(c->ctx, certificate) || !UseKey(c->ctx, key)) {
    ERR_clear_error();
    return nullptr;
  }
  return c;
}

}  // namespace

std::int32_t ssl_init_server(std::int32_t socket, const char* certificate, const char* key) {
  std::shared_ptr<Connection> c = NewServerConnection(certificate, key);
  if (!c) return 0;
  c->ssl = SSL_new(c->ctx);
  if (!c->ssl || SSL_set_fd(c->ssl, socket) != 1) return 0;
  if (SSL_accept(c->ssl) != 1) {
    ERR_clear_error();
    return 0;
  }
  return Register(std::move(c));
}

std::int32_t ssl_new_server(std::int32_t socket, const char* certificate, const char* key,
                            const char* ca_file) {
  std::shared_ptr<Connection> c = NewServerConnection(certificate, key);
  if (!c) return 0;
  // The owner keeps unsent bytes in a buffer that may move as it grows.
  SSL_CTX_set_mode(c->ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (ca_file && *ca_file) {
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(ca_file);
    if (!names || SSL_CTX_load_verify_locations(c->ctx, ca_file, nullptr) != 1) {
      if (names) sk_X509_NAME_pop_free(names, X509_NAME_free);
      ERR_clear_error();
      return 0;
    }
    SSL_CTX_set_client_CA_list(c->ctx, names);
    SSL_CTX_set_verify(c->ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  c->ssl = SSL_new(c->ctx);
  if (!c->ssl || SSL_set_fd(c->ssl, socket) != 1) {
    ERR_clear_error();
    return 0;
  }
  SSL_set_accept_state(c->ssl);
  return Register(std::move(c));
}

std::int32_t ssl_handshake(std::int32_t handle) {
  auto c = Find(handle);
  if (!c) return -1;
  ERR_clear_error();
  int r = SSL_do_handshake(c->ssl);
  if (r == 1) return 1;
  int e = SSL_get_error(c->ssl, r);
  ERR_clear_error();
  if (e == SSL_ERROR_WANT_READ) return 0;
  if (e == SSL_ERROR_WANT_WRITE) return 2;
  return -1;
}

std::int32_t ssl_send(std::int32_t handle, const char* bytes, std::int32_t count) {
  auto c = Find(handle);
  if (!c || count < 0) {
    errno = EBADF;
    return -1;
  }
  if (count == 0) return 0;
  ERR_clear_error();
  errno = 0;
  int n = SSL_write(c->ssl, bytes, count);
  if (n > 0) return n;
  std::int32_t r = Failed(c->ssl, n);
  ERR_clear_error();
  return r;
}

std::int32_t ssl_recv(std::int32_t handle, char* buffer, std::int32_t size) {
  auto c = Find(handle);
  if (!c || size <= 0) {
    errno = EBADF;
    return -1;
  }
  ERR_clear_error();
  errno = 0;
  int n = SSL_read(c->ssl, buffer, size);
  if (n > 0) return n;
  int e = SSL_get_error(c->ssl, n);
  std::int32_t r;
  if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) {
    r = 0;  // close_notify, or the connection simply ended
  } else {
    r = Failed(c->ssl, n);
  }
  ERR_clear_error();
  return r;
}

void ssl_cleanup(std::int32_t handle) {
  std::shared_ptr<Connection> c;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_connections.find(handle);
    if (it == g_connections.end()) return;
    c = std::move(it->second);
    g_connections.erase(it);
  }
  // A polite close_notify; on a non-blocking socket it may not get out.
  SSL_shutdown(c->ssl);
  ERR_clear_error();
}

void ssl_getcipher(std::int32_t handle, char* buffer, std::int32_t size) {
  auto c = Find(handle);
  const char* name = c ? SSL_get_cipher_name(c->ssl) : nullptr;
  CopyOut(name ? name : "", buffer, size);
}

void ssl_getsubject(std::int32_t handle, char* buffer, std::int32_t size) {
  auto c = Find(handle);
  const X509* peer = c ? SSL_get0_peer_certificate(c->ssl) : nullptr;
  CopyOut(peer ? NameText(X509_get_subject_name(peer)) : "", buffer, size);
}

void ssl_getissuer(std::int32_t handle, char* buffer, std::int32_t size) {
  auto c = Find(handle);
  const X509* peer = c ? SSL_get0_peer_certificate(c->ssl) : nullptr;
  CopyOut(peer ? NameText(X509_get_issuer_name(peer)) : "", buffer, size);
}

std::int32_t ssl_getverify(std::int32_t handle) {
  auto c = Find(handle);
  if (!c) return X509_V_ERR_UNSPECIFIED;
  // Without a certificate OpenSSL reports "OK": there was nothing to check.
  if (!SSL_get0_peer_certificate(c->ssl)) return X509_V_ERR_UNSPECIFIED;
  return static_cast<std::int32_t>(SSL_get_verify_result(c->ssl));
}

}  // namespace norv
