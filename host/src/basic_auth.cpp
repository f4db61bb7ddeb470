#include "basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

namespace {

// Standard base64 of "user:password"; false unless it decodes whole.
bool decode_base64(const std::string& text, std::string* decoded) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return false;
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 1);
    int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0) return false;
    std::size_t size = static_cast<std::size_t>(length);
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
    decoded->assign(reinterpret_cast<const char*>(bytes.data()), size);
    return true;
}

bool same(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

basic_auth::basic_auth(std::map<std::string, std::string> users) : users_(std::move(users)) {
    if (users_.empty()) return;
    // The cost of the first user's hash, so that a decoy takes as long as a real check.
    unsigned long cost = std::stoul(users_.begin()->second.substr(4, 2));
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt, sizeof salt) != nullptr) {
        auto data = std::make_unique<crypt_data>();
        const char* hash = crypt_r("decoy", salt, data.get());
        if (hash != nullptr && hash[0] == '$') decoy_hash_ = hash;
    }
}

bool basic_auth::password_matches(const std::string& password, const std::string& hash) const {
    auto data = std::make_unique<crypt_data>();
    const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
    return computed != nullptr && computed[0] == '$' && same(computed, hash);
}

bool basic_auth::allows(const char* authorization) {
    if (authorization == nullptr) return false;
    std::string header = authorization;
    if (header.compare(0, 6, "Basic ") != 0) return false;
    std::string credentials;
    if (!decode_base64(header.substr(6), &credentials)) return false;
    std::size_t colon = credentials.find(':');
    if (colon == std::string::npos) return false;
    std::string user = credentials.substr(0, colon);
    std::string password = credentials.substr(colon + 1);
    if (password.find('\0') != std::string::npos) return false;  // crypt would see less of it

    auto found = users_.find(user);
    if (found == users_.end()) {
        if (!decoy_hash_.empty()) password_matches(password, decoy_hash_);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto known = known_good_.find(user);
        if (known != known_good_.end() && same(known->second, password)) return true;
    }
    if (!password_matches(password, found->second)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    known_good_[user] = password;
    return true;
}
