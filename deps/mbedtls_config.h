// The TLS the detector needs and nothing more: a verifying client of TLS
// 1.2 and 1.3, with the key exchanges, signatures and ciphers real servers
// use. Every option left out is code a router does not carry.
#pragma once

// Platform. Certificate dates are turned into calendar time by the
// detector's own UTC conversion: the C library's gmtime_r brings its
// time-zone, scanf and strtod code into a static executable.
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_PLATFORM_GMTIME_R_ALT
#define MBEDTLS_PLATFORM_C
#define MBEDTLS_ENTROPY_C
#define MBEDTLS_CTR_DRBG_C

// TLS: the client side of 1.2 and 1.3; no server, DTLS, renegotiation,
// CBC ciphers (so no encrypt-then-MAC) or
// debug strings. Tickets and 1.3 resumption let later links to a site skip
// its full handshake.
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_PROTO_TLS1_3
#define MBEDTLS_SSL_TLS1_3_COMPATIBILITY_MODE
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ENABLED
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL_ENABLED
#define MBEDTLS_SSL_SESSION_TICKETS
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#define MBEDTLS_SSL_KEEP_PEER_CERTIFICATE
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
// A server's records may be 16 KiB; the client's are one short request.
// A handshake message may span records up to 64 KiB (a long chain): the
// extra room is the project's patch (deps/mbedtls-reassembly.patch).
#define MBEDTLS_SSL_IN_CONTENT_LEN 16384
#define MBEDTLS_SSL_OUT_CONTENT_LEN 4096
#define MBEDTLS_SSL_IN_REASSEMBLY_EXTRA (48 * 1024 + 512)

// Certificates: X.509 chains with RSA (PKCS#1 v1.5 and PSS) and ECDSA. The
// detector reads the PEM bundle itself, so no PEM, base64 or file code.
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C
#define MBEDTLS_OID_C
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_RSA_C
#define MBEDTLS_PKCS1_V15
#define MBEDTLS_PKCS1_V21
// RSA-PSS signatures: the only RSA ones TLS 1.3 allows in a handshake, so
// without them no TLS 1.3 server with an RSA key can be reached.
#define MBEDTLS_X509_RSASSA_PSS_SUPPORT
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_ECP_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_NIST_OPTIM
// Measured: a larger window and fixed-point tables for the base point
// cost some RAM and make each handshake cheaper.
#define MBEDTLS_ECP_WINDOW_SIZE 4
#define MBEDTLS_ECP_FIXED_POINT_OPTIM 1

// Hashes and ciphers: SHA-256/384 (SHA-1 and SHA-224 for chains that still
// carry them), AES-GCM and ChaCha20-Poly1305.
#define MBEDTLS_MD_C
#define MBEDTLS_SHA1_C
#define MBEDTLS_SHA224_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA384_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_HKDF_C
#define MBEDTLS_CIPHER_C
#define MBEDTLS_AES_C
#define MBEDTLS_GCM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_CHACHAPOLY_C

// TLS 1.3 works through the PSA crypto layer, whose key store is shared
// by the process: handshakes on several threads at once need its locks.
#define MBEDTLS_PSA_CRYPTO_C
#define MBEDTLS_USE_PSA_CRYPTO
#define MBEDTLS_THREADING_C
#define MBEDTLS_THREADING_PTHREAD
// Each handshake holds several keys in that store at once (its key share,
// its traffic keys, a key being verified): room for eight handshakes.
#define MBEDTLS_PSA_KEY_SLOT_COUNT 128
