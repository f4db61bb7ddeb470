#pragma once

#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

// HTTP basic authentication against bcrypt hashes, checked with the system's crypt(3), as the
// exporter toolkit does it: one bcrypt at a time, and the verdicts on recent credentials
// remembered, failures included, so that neither a scraper nor a stranger repeating itself
// costs a bcrypt each time. Credentials are remembered by a keyed hash, never as text.
class basic_auth {
public:
    explicit basic_auth(std::map<std::string, std::string> users);

    bool enabled() const { return !users_.empty(); }

    enum class verdict { allowed, denied, unchecked };
    // The verdict on an Authorization header's value without a bcrypt: a malformed or missing
    // one is denied; credentials checked before get the verdict they got; others are unchecked.
    verdict recall(std::string_view authorization);
    // The verdict with a bcrypt (of a decoy hash for an unknown user, so that it takes as long),
    // remembered for recall.
    bool check(std::string_view authorization);

private:
    struct credentials {
        std::string user;
        std::string password;
        std::string key;  // keyed hash of both
    };
    bool parse(std::string_view authorization, credentials* parsed) const;
    bool password_matches(const std::string& password, const std::string& hash) const;
    void remember_failure(const std::string& key);

    std::map<std::string, std::string> users_;
    std::string decoy_hash_;
    std::string salt_;  // of the keyed hash, made at start
    std::mutex bcrypt_mutex_;
    std::mutex mutex_;  // guards what follows
    std::map<std::string, std::string> right_;  // user: key of the credentials last found right
    std::list<std::string> failed_order_;       // keys of failed credentials, newest first
    std::set<std::string> failed_;
};
