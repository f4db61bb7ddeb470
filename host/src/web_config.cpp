#include "web_config.h"

#include <crypt.h>
#include <gnutls/gnutls.h>
#include <yaml-cpp/yaml.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace {

const std::set<std::string> kClientAuthTypes = {
    "NoClientCert", "RequestClientCert", "RequireAnyClientCert", "VerifyClientCertIfGiven",
    "RequireAndVerifyClientCert"};
const char* const kTlsVersions[] = {"TLS10", "TLS11", "TLS12", "TLS13"};
const char* const kGnutlsVersions[] = {"VERS-TLS1.0", "VERS-TLS1.1", "VERS-TLS1.2", "VERS-TLS1.3"};

// The version's place in kTlsVersions; -1 when it is none.
int version_rank(const std::string& version) {
    for (int i = 0; i < 4; ++i)
        if (version == kTlsVersions[i]) return i;
    return -1;
}

bool read_file(const std::string& path, const char* what, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream whole;
    if (in) whole << in.rdbuf();
    if (!in || whole.str().empty()) {
        *error = "tls_server_config: cannot read the " + std::string(what) + " " + path;
        return false;
    }
    *text = whole.str();
    return true;
}

gnutls_datum_t datum_of(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
            static_cast<unsigned int>(text.size())};
}

struct credentials_deleter {
    void operator()(gnutls_certificate_credentials_t credentials) const {
        gnutls_certificate_free_credentials(credentials);
    }
};

// What the TLS server will do with the files, done once here: the certificate with its key,
// the CA's certificates, the versions.
bool check_tls_files(const web_config::tls_settings& tls, std::string* error) {
    gnutls_certificate_credentials_t raw = nullptr;
    if (gnutls_certificate_allocate_credentials(&raw) != GNUTLS_E_SUCCESS) {
        *error = "tls_server_config: GnuTLS cannot make credentials";
        return false;
    }
    std::unique_ptr<gnutls_certificate_credentials_st, credentials_deleter> credentials(raw);
    gnutls_datum_t cert = datum_of(tls.cert_pem);
    gnutls_datum_t key = datum_of(tls.key_pem);
    int result = gnutls_certificate_set_x509_key_mem(credentials.get(), &cert, &key,
                                                     GNUTLS_X509_FMT_PEM);
    if (result < 0) {
        *error = "tls_server_config: " + tls.cert_file + " and " + tls.key_file +
                 " are not a PEM certificate and its key: " + gnutls_strerror(result);
        return false;
    }
    if (!tls.client_ca_pem.empty()) {
        gnutls_datum_t ca = datum_of(tls.client_ca_pem);
        if (gnutls_certificate_set_x509_trust_mem(credentials.get(), &ca, GNUTLS_X509_FMT_PEM) <= 0) {
            *error = "tls_server_config: " + tls.client_ca_file + " holds no PEM certificate";
            return false;
        }
    }
    gnutls_priority_t priority = nullptr;
    std::string priorities = tls_priorities(tls);
    if (gnutls_priority_init(&priority, priorities.c_str(), nullptr) != GNUTLS_E_SUCCESS) {
        *error = "tls_server_config: GnuTLS does not take the versions " + priorities;
        return false;
    }
    gnutls_priority_deinit(priority);
    return true;
}

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
    // libmicrohttpd asks a client for its certificate only with a CA to name: a certificate
    // that must be given, checked or not, needs one here, where the toolkit needs it to check.
    bool needs_ca = tls->client_auth_type == "RequireAnyClientCert" ||
                    tls->client_auth_type == "VerifyClientCertIfGiven" ||
                    tls->client_auth_type == "RequireAndVerifyClientCert";
    if (needs_ca && tls->client_ca_file.empty()) {
        *error = "tls_server_config: client_auth_type " + tls->client_auth_type +
                 " needs client_ca_file";
        return false;
    }
    for (const std::string* version : {&tls->min_version, &tls->max_version})
        if (!version->empty() && version_rank(*version) < 0) {
            *error = "tls_server_config: not a TLS version: " + *version;
            return false;
        }
    if (!tls->max_version.empty() && version_rank(tls->max_version) < version_rank(tls->min_version)) {
        *error = "tls_server_config: max_version " + tls->max_version + " is below min_version " +
                 tls->min_version;
        return false;
    }
    if (!read_file(tls->cert_file, "certificate", &tls->cert_pem, error) ||
        !read_file(tls->key_file, "key", &tls->key_pem, error))
        return false;
    // A CA given with NoClientCert asks for nothing, as in the toolkit.
    if (tls->client_auth_type != "NoClientCert" && !tls->client_ca_file.empty() &&
        !read_file(tls->client_ca_file, "CA certificate", &tls->client_ca_pem, error))
        return false;
    return check_tls_files(*tls, error);
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
                    std::string hash = user.second.IsScalar() ? user.second.as<std::string>() : "";
                    if (name.empty() || name.find(':') != std::string::npos) {
                        *error = "basic_auth_users: a user name is empty or has a colon, which "
                                 "basic authentication cannot carry";
                        return false;
                    }
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

std::string tls_priorities(const web_config::tls_settings& tls) {
    std::string text = "NORMAL";
    bool allowed = false;
    for (int i = 0; i < 4; ++i) {
        if (tls.min_version == kTlsVersions[i]) allowed = true;
        text += std::string(allowed ? ":+" : ":-") + kGnutlsVersions[i];
        if (tls.max_version == kTlsVersions[i]) allowed = false;
    }
    return text;
}
