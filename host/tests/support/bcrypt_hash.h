#pragma once

#include <crypt.h>

#include <string>

// A bcrypt hash of the password at the cost given (4 keeps tests quick), as htpasswd -B makes.
inline std::string bcrypt_hash(const std::string& password, unsigned long cost) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt, sizeof salt);
    crypt_data data = {};
    return crypt_r(password.c_str(), salt, &data);
}
