#include "basic_auth.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <strings.h>

#include <algorithm>
#include <memory>

namespace {

// Failed credentials remembered: a stranger cycling through more only costs bcrypts, one at a
// time.
constexpr std::size_t kRememberedFailures = 1024;
constexpr std::size_t kMaxHeader = 4096;

bool same(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

// Standard base64; false unless it decodes whole.
bool decode_base64(std::string_view text, std::string* decoded) {
    if (text.empty() || text.size() > kMaxHeader) return false;
    gnutls_datum_t in = {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                         static_cast<unsigned int>(text.size())};
    gnutls_datum_t out = {nullptr, 0};
    if (gnutls_base64_decode2(&in, &out) != 0) return false;
    decoded->assign(reinterpret_cast<const char*>(out.data), out.size);
    gnutls_free(out.data);
    return true;
}

}  // namespace

basic_auth::basic_auth(std::map<std::string, std::string> users) : users_(std::move(users)) {
    if (users_.empty()) return;
    char salt[16];
    if (gnutls_rnd(GNUTLS_RND_NONCE, salt, sizeof salt) == 0) salt_.assign(salt, sizeof salt);
    // The cost of the first user's hash, so that a decoy takes as long as a real check.
    unsigned long cost = std::stoul(users_.begin()->second.substr(4, 2));
    char decoy_salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, decoy_salt, sizeof decoy_salt) != nullptr) {
        auto data = std::make_unique<crypt_data>();
        const char* hash = crypt_r("decoy", decoy_salt, data.get());
        if (hash != nullptr && hash[0] == '$') decoy_hash_ = hash;
    }
}

bool basic_auth::parse(std::string_view authorization, credentials* parsed) const {
    if (authorization.size() < 6 || strncasecmp(authorization.data(), "Basic ", 6) != 0)
        return false;
    std::string decoded;
    if (!decode_base64(authorization.substr(6), &decoded)) return false;
    std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    parsed->user = decoded.substr(0, colon);
    parsed->password = decoded.substr(colon + 1);
    if (parsed->password.find('\0') != std::string::npos) return false;  // crypt sees less of it
    std::string keyed = salt_ + decoded;
    unsigned char digest[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, keyed.data(), keyed.size(), digest) != 0)
        return false;
    parsed->key.assign(reinterpret_cast<const char*>(digest), sizeof digest);
    return true;
}

bool basic_auth::password_matches(const std::string& password, const std::string& hash) const {
    auto data = std::make_unique<crypt_data>();
    const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
    return computed != nullptr && computed[0] == '$' && same(computed, hash);
}

basic_auth::verdict basic_auth::recall(std::string_view authorization) {
    credentials given;
    if (!parse(authorization, &given)) return verdict::denied;
    std::lock_guard<std::mutex> lock(mutex_);
    auto right = right_.find(given.user);
    if (right != right_.end() && same(right->second, given.key)) return verdict::allowed;
    if (failed_.count(given.key) != 0) return verdict::denied;
    return verdict::unchecked;
}

void basic_auth::remember_failure(const std::string& key) {
    if (!failed_.insert(key).second) return;
    failed_order_.push_front(key);
    if (failed_order_.size() <= kRememberedFailures) return;
    failed_.erase(failed_order_.back());
    failed_order_.pop_back();
}

bool basic_auth::check(std::string_view authorization) {
    credentials given;
    if (!parse(authorization, &given)) return false;
    auto user = users_.find(given.user);
    bool allowed = false;
    {
        std::lock_guard<std::mutex> one_at_a_time(bcrypt_mutex_);
        if (user != users_.end())
            allowed = password_matches(given.password, user->second);
        else if (!decoy_hash_.empty())
            password_matches(given.password, decoy_hash_);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (allowed)
        right_[given.user] = given.key;
    else
        remember_failure(given.key);
    return allowed;
}
