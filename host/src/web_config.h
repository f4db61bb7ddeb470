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
        // The files' contents, read once by the loader.
        std::string cert_pem;
        std::string key_pem;
        std::string client_ca_pem;
    };
    std::optional<tls_settings> tls;
    std::map<std::string, std::string> basic_auth_users;  // user: bcrypt hash
};

// Reads the file and the certificate, key and CA files it names; false with the reason in
// *error on anything the HTTP side could not honour exactly (an unknown key, a setting without
// its file, a file that cannot be read or is no certificate or key of the kind, a client
// certificate asked for without a CA to ask with, versions out of order, a hash that is not
// bcrypt, a user name with a colon). Every such error is found here, before anything is
// served. Relative paths are taken from the file's folder, as the toolkit does.
bool load_web_config(const std::string& path, web_config* config, std::string* error);

// GnuTLS's priority string for the TLS versions the settings allow.
std::string tls_priorities(const web_config::tls_settings& tls);
