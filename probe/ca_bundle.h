// The CA certificates https links are verified against: read once per run
// from the first bundle found, a file an owner or a package gives us.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "caps.h"
#include "job.h"

struct mbedtls_x509_crt;

/// The run's CA certificates, read when first asked for: from the file
/// SSL_CERT_FILE names, or the first standard bundle path that exists,
/// only if it is a regular file, opened without blocking and read before
/// `deadline` (and the job's limit). Null, said once per run (where the
/// job's lines go) with where it looked or why that file was no use, when
/// there are none: https links can't be checked.
const mbedtls_x509_crt* ca_chain(Clock::time_point deadline, JobState& job);

/// Forgets the bundle read (for tests).
void ca_bundle_reset();

/// The bytes of the next "BEGIN CERTIFICATE" block of the PEM text `pem`
/// from `at` on whose body is base64 (a block cut short ends where the
/// next begins), with `at` moved past it; none when no block is left.
std::optional<std::vector<unsigned char>> pem_next_certificate(std::string_view pem,
                                                               std::size_t& at);

/// The bytes of base64 text (blanks and line ends anywhere), or none when
/// it is not base64.
std::optional<std::vector<unsigned char>> base64_decode(std::string_view text);

/// Adds each readable certificate of `pem` to `chain`, skipping any that
/// is not one, up to CA_CERTS_MAX in the chain; how many were added.
std::size_t add_pem_certificates(mbedtls_x509_crt& chain, std::string_view pem);
