#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

// HTTP basic authentication against bcrypt hashes, checked with the system's crypt(3). A
// password once found right is remembered, so that a scrape does not cost a bcrypt each time.
class basic_auth {
public:
    explicit basic_auth(std::map<std::string, std::string> users);

    bool enabled() const { return !users_.empty(); }
    // The value of an Authorization header (nullptr when there is none): whether it names a user
    // with the right password.
    bool allows(const char* authorization);

private:
    bool password_matches(const std::string& password, const std::string& hash) const;

    std::map<std::string, std::string> users_;
    std::string decoy_hash_;  // checked for unknown users, so that they take as long
    std::mutex mutex_;
    std::map<std::string, std::string> known_good_;
};
