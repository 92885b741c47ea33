// The OpenSSL calls of server/tls/, bound when TLS is first configured
// (TlsLoadLibrary): a server without TLS maps neither libssl nor libcrypto,
// whose relocated data (some 460 KiB) and mappings every fork of a front and
// a session's process would otherwise copy and every exit tear down.
// Included last by the files of server/tls/, after OpenSSL's own headers: each
// name below then stands for its bound pointer.  A build that links OpenSSL
// in (ZORVAD_TLS_LINKED) calls it directly.
#pragma once

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

// 0 once every call is bound (at once when OpenSSL is linked in); -1 with
// the loader's reason in why.
[[nodiscard]] int TlsLoadLibrary(char *why, size_t whySize);

// While on, every buffer the library frees is wiped first (reading a key).
void TlsWipeFreedMemory(bool on);

#if !defined(ZORVAD_TLS_LINKED)
#define ZORVAD_TLS_CALLS(X) \
    X(BIO_ctrl) \
    X(BIO_f_buffer) \
    X(BIO_free) \
    X(BIO_int_ctrl) \
    X(BIO_new) \
    X(BIO_new_mem_buf) \
    X(BIO_push) \
    X(BIO_test_flags) \
    X(BIO_up_ref) \
    X(CRYPTO_memcmp) \
    X(CRYPTO_set_mem_functions) \
    X(ERR_clear_error) \
    X(ERR_error_string_n) \
    X(ERR_peek_last_error) \
    X(EVP_PKEY_free) \
    X(PEM_read_bio_PrivateKey) \
    X(PEM_read_bio_X509) \
    X(PEM_read_bio_X509_AUX) \
    X(RAND_bytes) \
    X(SSL_CIPHER_get_name) \
    X(SSL_CTX_add_session) \
    X(SSL_CTX_check_private_key) \
    X(SSL_CTX_ctrl) \
    X(SSL_CTX_flush_sessions) \
    X(SSL_CTX_free) \
    X(SSL_CTX_new) \
    X(SSL_CTX_set_cert_cb) \
    X(SSL_CTX_set_cipher_list) \
    X(SSL_CTX_set_options) \
    X(SSL_CTX_set_session_id_context) \
    X(SSL_CTX_set_session_ticket_cb) \
    X(SSL_CTX_set_timeout) \
    X(SSL_CTX_use_PrivateKey) \
    X(SSL_CTX_use_certificate) \
    X(SSL_SESSION_free) \
    X(SSL_SESSION_get_master_key) \
    X(SSL_accept) \
    X(SSL_free) \
    X(SSL_get_current_cipher) \
    X(SSL_get_error) \
    X(SSL_get_rbio) \
    X(SSL_get_session) \
    X(SSL_get_shutdown) \
    X(SSL_get_version) \
    X(SSL_get_wbio) \
    X(SSL_has_pending) \
    X(SSL_new) \
    X(SSL_pending) \
    X(SSL_read) \
    X(SSL_session_reused) \
    X(SSL_set0_rbio) \
    X(SSL_set0_wbio) \
    X(SSL_set_fd) \
    X(SSL_set_not_resumable_session_callback) \
    X(SSL_set_num_tickets) \
    X(SSL_set_quiet_shutdown) \
    X(SSL_shutdown) \
    X(SSL_write) \
    X(TLS_server_method) \
    X(X509_free) \
    X(d2i_SSL_SESSION) \
    X(i2d_SSL_SESSION)

#define ZORVAD_TLS_POINTER(name) extern decltype(&::name) gTls_##name;
ZORVAD_TLS_CALLS(ZORVAD_TLS_POINTER)
#undef ZORVAD_TLS_POINTER

#define BIO_ctrl (*gTls_BIO_ctrl)
#define BIO_f_buffer (*gTls_BIO_f_buffer)
#define BIO_free (*gTls_BIO_free)
#define BIO_int_ctrl (*gTls_BIO_int_ctrl)
#define BIO_new (*gTls_BIO_new)
#define BIO_new_mem_buf (*gTls_BIO_new_mem_buf)
#define BIO_push (*gTls_BIO_push)
#define BIO_test_flags (*gTls_BIO_test_flags)
#define BIO_up_ref (*gTls_BIO_up_ref)
#define CRYPTO_memcmp (*gTls_CRYPTO_memcmp)
#define CRYPTO_set_mem_functions (*gTls_CRYPTO_set_mem_functions)
#define ERR_clear_error (*gTls_ERR_clear_error)
#define ERR_error_string_n (*gTls_ERR_error_string_n)
#define ERR_peek_last_error (*gTls_ERR_peek_last_error)
#define EVP_PKEY_free (*gTls_EVP_PKEY_free)
#define PEM_read_bio_PrivateKey (*gTls_PEM_read_bio_PrivateKey)
#define PEM_read_bio_X509 (*gTls_PEM_read_bio_X509)
#define PEM_read_bio_X509_AUX (*gTls_PEM_read_bio_X509_AUX)
#define RAND_bytes (*gTls_RAND_bytes)
#define SSL_CIPHER_get_name (*gTls_SSL_CIPHER_get_name)
#define SSL_CTX_add_session (*gTls_SSL_CTX_add_session)
#define SSL_CTX_check_private_key (*gTls_SSL_CTX_check_private_key)
#define SSL_CTX_ctrl (*gTls_SSL_CTX_ctrl)
#define SSL_CTX_flush_sessions (*gTls_SSL_CTX_flush_sessions)
#define SSL_CTX_free (*gTls_SSL_CTX_free)
#define SSL_CTX_new (*gTls_SSL_CTX_new)
#define SSL_CTX_set_cert_cb (*gTls_SSL_CTX_set_cert_cb)
#define SSL_CTX_set_cipher_list (*gTls_SSL_CTX_set_cipher_list)
#define SSL_CTX_set_options (*gTls_SSL_CTX_set_options)
#define SSL_CTX_set_session_id_context (*gTls_SSL_CTX_set_session_id_context)
#define SSL_CTX_set_session_ticket_cb (*gTls_SSL_CTX_set_session_ticket_cb)
#define SSL_CTX_set_timeout (*gTls_SSL_CTX_set_timeout)
#define SSL_CTX_use_PrivateKey (*gTls_SSL_CTX_use_PrivateKey)
#define SSL_CTX_use_certificate (*gTls_SSL_CTX_use_certificate)
#define SSL_SESSION_free (*gTls_SSL_SESSION_free)
#define SSL_SESSION_get_master_key (*gTls_SSL_SESSION_get_master_key)
#define SSL_accept (*gTls_SSL_accept)
#define SSL_free (*gTls_SSL_free)
#define SSL_get_current_cipher (*gTls_SSL_get_current_cipher)
#define SSL_get_error (*gTls_SSL_get_error)
#define SSL_get_rbio (*gTls_SSL_get_rbio)
#define SSL_get_session (*gTls_SSL_get_session)
#define SSL_get_shutdown (*gTls_SSL_get_shutdown)
#define SSL_get_version (*gTls_SSL_get_version)
#define SSL_get_wbio (*gTls_SSL_get_wbio)
#define SSL_has_pending (*gTls_SSL_has_pending)
#define SSL_new (*gTls_SSL_new)
#define SSL_pending (*gTls_SSL_pending)
#define SSL_read (*gTls_SSL_read)
#define SSL_session_reused (*gTls_SSL_session_reused)
#define SSL_set0_rbio (*gTls_SSL_set0_rbio)
#define SSL_set0_wbio (*gTls_SSL_set0_wbio)
#define SSL_set_fd (*gTls_SSL_set_fd)
#define SSL_set_not_resumable_session_callback (*gTls_SSL_set_not_resumable_session_callback)
#define SSL_set_num_tickets (*gTls_SSL_set_num_tickets)
#define SSL_set_quiet_shutdown (*gTls_SSL_set_quiet_shutdown)
#define SSL_shutdown (*gTls_SSL_shutdown)
#define SSL_write (*gTls_SSL_write)
#define TLS_server_method (*gTls_TLS_server_method)
#define X509_free (*gTls_X509_free)
#define d2i_SSL_SESSION (*gTls_d2i_SSL_SESSION)
#define i2d_SSL_SESSION (*gTls_i2d_SSL_SESSION)
#endif
