#include "web_config.h"

#include <crypt.h>
#include <yaml-cpp/yaml.h>

#include <set>

namespace {

const std::set<std::string> kClientAuthTypes = {
    "NoClientCert", "RequestClientCert", "RequireAnyClientCert", "VerifyClientCertIfGiven",
    "RequireAndVerifyClientCert"};
const std::set<std::string> kTlsVersions = {"TLS10", "TLS11", "TLS12", "TLS13"};

std::string folder_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string resolved(const std::string& folder, const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    return folder + path;
}

bool is_bcrypt(const std::string& hash) {
    return hash.size() == 60 && hash.compare(0, 2, "$2") == 0 &&
           crypt_checksalt(hash.c_str()) == CRYPT_SALT_OK;
}

bool read_tls(const YAML::Node& node, const std::string& folder, web_config::tls_settings* tls,
              std::string* error) {
    for (const auto& entry : node) {
        std::string key = entry.first.as<std::string>();
        if (!entry.second.IsNull() && !entry.second.IsScalar()) {
            *error = "tls_server_config: " + key + " is not supported";
            return false;
        }
        std::string value = entry.second.IsNull() ? "" : entry.second.as<std::string>();
        if (key == "cert_file") tls->cert_file = resolved(folder, value);
        else if (key == "key_file") tls->key_file = resolved(folder, value);
        else if (key == "client_ca_file") tls->client_ca_file = resolved(folder, value);
        else if (key == "client_auth_type") tls->client_auth_type = value.empty() ? "NoClientCert" : value;
        else if (key == "min_version") tls->min_version = value;
        else if (key == "max_version") tls->max_version = value;
        else {
            *error = "tls_server_config: " + key + " is not supported";
            return false;
        }
    }
    if (tls->cert_file.empty() || tls->key_file.empty()) {
        *error = "tls_server_config: cert_file and key_file are both needed";
        return false;
    }
    if (kClientAuthTypes.count(tls->client_auth_type) == 0) {
        *error = "tls_server_config: not a client_auth_type: " + tls->client_auth_type;
        return false;
    }
    bool verifies = tls->client_auth_type == "VerifyClientCertIfGiven" ||
                    tls->client_auth_type == "RequireAndVerifyClientCert";
    if (verifies && tls->client_ca_file.empty()) {
        *error = "tls_server_config: client_auth_type " + tls->client_auth_type +
                 " needs client_ca_file";
        return false;
    }
    for (const std::string* version : {&tls->min_version, &tls->max_version})
        if (!version->empty() && kTlsVersions.count(*version) == 0) {
            *error = "tls_server_config: not a TLS version: " + *version;
            return false;
        }
    return true;
}

}  // namespace

bool load_web_config(const std::string& path, web_config* config, std::string* error) {
    try {
        YAML::Node root = YAML::LoadFile(path);
        *config = web_config{};
        if (root.IsNull()) return true;
        if (!root.IsMap()) {
            *error = "not a YAML mapping";
            return false;
        }
        for (const auto& entry : root) {
            std::string key = entry.first.as<std::string>();
            if (entry.second.IsNull()) continue;
            if (key == "tls_server_config") {
                web_config::tls_settings tls;
                if (!read_tls(entry.second, folder_of(path), &tls, error)) return false;
                config->tls = tls;
            } else if (key == "basic_auth_users") {
                for (const auto& user : entry.second) {
                    std::string name = user.first.as<std::string>();
                    std::string hash = user.second.as<std::string>();
                    if (!is_bcrypt(hash)) {
                        *error = "basic_auth_users: the hash of " + name + " is not bcrypt";
                        return false;
                    }
                    config->basic_auth_users[name] = hash;
                }
            } else {
                *error = key + " is not supported";
                return false;
            }
        }
        return true;
    } catch (const YAML::Exception& failure) {
        *error = failure.what();
        return false;
    }
}
