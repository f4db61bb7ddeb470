#pragma once

#include <map>
#include <optional>
#include <string>

// The exporter toolkit's web configuration file (--web.config.file), which the Prometheus
// exporters read: TLS and basic authentication of the HTTP side.
struct web_config {
    struct tls_settings {
        std::string cert_file;
        std::string key_file;
        std::string client_ca_file;
        std::string client_auth_type = "NoClientCert";
        std::string min_version = "TLS12";
        std::string max_version;  // empty: the newest the library has
    };
    std::optional<tls_settings> tls;
    std::map<std::string, std::string> basic_auth_users;  // user: bcrypt hash
};

// Reads the file; false with the reason in *error on anything it cannot honour exactly (an
// unknown key, a setting without its file, a hash that is not bcrypt). Relative paths are
// taken from the file's folder, as the toolkit does.
bool load_web_config(const std::string& path, web_config* config, std::string* error);
