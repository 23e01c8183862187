// The network and TLS functions Debian's HDF5 links for its read-only S3
// driver, which corvane never uses, each failing as the real one does when it
// cannot work.  tools/wheel.sh points the wheel's HDF5 at this library instead
// of libcurl and libcrypto, so the wheel carries no network or TLS code; were
// the S3 driver ever asked to open a file, it would stop at curl_global_init
// with an HDF5 error, as on a system without libcurl.
#include <cstddef>

namespace {
// CURLcode values: the library could not start; a handle that is not one.
constexpr int curl_failed_init = 2;
constexpr int curl_bad_function_argument = 43;
}  // namespace

extern "C" {

int curl_global_init(long) { return curl_failed_init; }
void curl_global_cleanup() {}

void* curl_easy_init() { return nullptr; }
int curl_easy_setopt(void*, int, ...) { return curl_bad_function_argument; }
int curl_easy_perform(void*) { return curl_bad_function_argument; }
void curl_easy_cleanup(void*) {}

void* curl_slist_append(void*, const char*) { return nullptr; }
void curl_slist_free_all(void*) {}

const void* EVP_sha256() { return nullptr; }
unsigned char* HMAC(const void*, const void*, int, const unsigned char*, std::size_t,
                    unsigned char*, unsigned int*) {
    return nullptr;
}
unsigned char* SHA256(const unsigned char*, std::size_t, unsigned char*) { return nullptr; }

}  // extern "C"
