// A static router executable has no name-service modules to load: the
// C library's service-name lookups, which c-ares can make but the detector
// never asks for (it looks up hosts, with the port it has), would bring
// in their code and the dynamic loader's for nothing. These answer that no
// service is known.
#include <netdb.h>

#include <cerrno>

extern "C" {

int getservbyname_r(const char*, const char*, struct servent*, char*, size_t,
                    struct servent** result) {
    *result = nullptr;
    return ENOENT;
}

int getservbyport_r(int, const char*, struct servent*, char*, size_t, struct servent** result) {
    *result = nullptr;
    return ENOENT;
}

}  // extern "C"
