#include "web_server.h"

#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "basic_auth.h"
#include "login_queue.h"
#include "web_limits.h"

namespace {

using clock_type = std::chrono::steady_clock;

// One accepted connection, for its deadlines.
struct connection_record {
    int fd = -1;
    clock_type::time_point accepted;
    std::atomic<bool> requested{false};  // its request's headers have all come
    bool cut = false;
};

// One request, from its headers to the end of its answer.
struct request_state {
    enum class login_state { none, waiting, checked };
    login_state login = login_state::none;
    basic_auth::verdict access = basic_auth::verdict::unchecked;
    std::shared_ptr<void> slot;  // a scrape's place, until its answer is sent
};

class mhd_web_server : public web_server {
public:
    mhd_web_server(const web_config& config, web_handler& handler)
        : config_(config),
          handler_(handler),
          auth_(config.basic_auth_users),
          logins_(auth_, kMaxPendingLogins) {}
    ~mhd_web_server() override;
    bool start(std::vector<listen_socket> sockets, std::string* error);

private:
    static MHD_Result on_request(void* self, MHD_Connection* connection, const char* url,
                                 const char* method, const char* version, const char* upload_data,
                                 size_t* upload_data_size, void** request);
    static void on_completed(void* self, MHD_Connection* connection, void** request,
                             MHD_RequestTerminationCode code);
    static void on_connection(void* self, MHD_Connection* connection, void** socket_context,
                              MHD_ConnectionNotificationCode code);
    static void on_log(void* self, const char* format, va_list arguments);

    MHD_Result answer(MHD_Connection* connection, const char* url, const char* method,
                      request_state* state);
    bool client_certificate_allowed(MHD_Connection* connection) const;
    void watch_deadlines();

    web_config config_;
    web_handler& handler_;
    basic_auth auth_;
    login_queue logins_;
    std::vector<MHD_Daemon*> daemons_;
    std::string priorities_;

    std::mutex mutex_;  // guards what follows
    std::condition_variable stop_watching_;
    bool stopping_ = false;
    bool started_ = false;
    std::string start_log_;  // why a server did not start
    std::unordered_set<connection_record*> connections_;
    std::thread watchdog_;
};

MHD_Result mhd_web_server::on_request(void* self, MHD_Connection* connection, const char* url,
                                      const char* method, const char*, const char*,
                                      size_t* upload_data_size, void** request) {
    auto* server = static_cast<mhd_web_server*>(self);
    auto* state = static_cast<request_state*>(*request);
    if (state == nullptr) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (info != nullptr && info->socket_context != nullptr)
            static_cast<connection_record*>(info->socket_context)->requested = true;
        state = new (std::nothrow) request_state;
        if (state == nullptr) return MHD_NO;
        *request = state;
    }
    *upload_data_size = 0;  // a body is never read: no request here has one
    try {
        return server->answer(connection, url, method, state);
    } catch (const std::exception&) {
        return MHD_NO;  // out of memory: the connection is closed
    }
}

void mhd_web_server::on_completed(void*, MHD_Connection*, void** request,
                                  MHD_RequestTerminationCode) {
    delete static_cast<request_state*>(*request);
    *request = nullptr;
}

void mhd_web_server::on_connection(void* self, MHD_Connection* connection, void** socket_context,
                                   MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<mhd_web_server*>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        auto* record = new (std::nothrow) connection_record;
        if (record == nullptr || info == nullptr) {
            delete record;
            return;  // no deadline for this one: the idle timeout still holds
        }
        record->fd = info->connect_fd;
        record->accepted = clock_type::now();
        std::lock_guard<std::mutex> lock(server->mutex_);
        if (!server->connections_.insert(record).second) {
            delete record;
            return;
        }
        *socket_context = record;
        ++server->handler_.figures().connections;
        return;
    }
    // Called before libmicrohttpd closes the descriptor: once the record is gone, the watchdog
    // can no longer reach a descriptor that another connection may have by then.
    auto* record = static_cast<connection_record*>(*socket_context);
    if (record == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(server->mutex_);
        server->connections_.erase(record);
    }
    --server->handler_.figures().connections;
    delete record;
    *socket_context = nullptr;
}

// Once serving, libmicrohttpd's messages are of strangers' connections (limits reached,
// handshakes failed): not worth a line each.
void mhd_web_server::on_log(void* self, const char* format, va_list arguments) {
    auto* server = static_cast<mhd_web_server*>(self);
    char message[512];
    std::vsnprintf(message, sizeof message, format, arguments);
    std::lock_guard<std::mutex> lock(server->mutex_);
    if (server->started_) return;
    server->start_log_ = message;
    while (!server->start_log_.empty() && server->start_log_.back() == '\n')
        server->start_log_.pop_back();
}

bool mhd_web_server::client_certificate_allowed(MHD_Connection* connection) const {
    if (!config_.tls) return true;
    const std::string& type = config_.tls->client_auth_type;
    if (type == "NoClientCert" || type == "RequestClientCert") return true;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr) return false;
    auto session = static_cast<gnutls_session_t>(info->tls_session);
    unsigned int count = 0;
    bool given = gnutls_certificate_get_peers(session, &count) != nullptr && count > 0;
    if (!given) return type == "VerifyClientCertIfGiven";
    if (type == "RequireAnyClientCert") return true;
    unsigned int status = 0;
    return gnutls_certificate_verify_peers2(session, &status) == GNUTLS_E_SUCCESS && status == 0;
}

MHD_Result mhd_web_server::answer(MHD_Connection* connection, const char* url, const char* method,
                                  request_state* state) {
    // A client refused its certificate gets no answer at all, as with Go's TLS.
    if (!client_certificate_allowed(connection)) return MHD_NO;
    if (!auth_.enabled()) {
        state->access = basic_auth::verdict::allowed;
    } else if (state->login == request_state::login_state::none) {
        const char* header =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
        std::string authorization = header != nullptr ? header : "";
        state->access = auth_.recall(authorization);
        if (state->access == basic_auth::verdict::unchecked) {
            // The bcrypt runs on the queue's thread; the connection waits, suspended, and is
            // answered when it is resumed. Suspended first, so that no resume comes before.
            state->login = request_state::login_state::waiting;
            MHD_suspend_connection(connection);
            bool queued =
                logins_.submit(authorization, [connection, state](basic_auth::verdict verdict) {
                    state->access = verdict;
                    state->login = request_state::login_state::checked;
                    MHD_resume_connection(connection);
                });
            if (!queued) {
                state->login = request_state::login_state::checked;  // unchecked: 503
                MHD_resume_connection(connection);
            }
            return MHD_YES;
        }
    } else if (state->login == request_state::login_state::waiting) {
        return MHD_YES;  // not resumed yet
    }

    http_request request;
    request.method = method;
    request.path = url;
    const char* encoding =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (encoding != nullptr) request.accept_encoding = encoding;
    http_response answer = handler_.answer(request, state->access);
    state->slot = std::move(answer.slot);

    MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(), answer.body.data(),
                                                             MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.content_type);
    // One request a connection: the deadlines then hold for every request.
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    if (answer.gzipped) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    if (answer.status == MHD_HTTP_OK)
        MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, "Accept-Encoding");
    if (answer.challenge)
        MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                                "Basic realm=\"vorna-stats-host\"");
    if (answer.allow) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

// Cuts the connections past a deadline: shutdown() makes libmicrohttpd see the end of the
// connection and close it on its own thread.
void mhd_web_server::watch_deadlines() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_watching_.wait_for(lock, std::chrono::milliseconds(250),
                                    [this] { return stopping_; })) {
        auto now = clock_type::now();
        for (connection_record* record : connections_) {
            if (record->cut) continue;
            bool late = now - record->accepted > kConnectionDeadline ||
                        (!record->requested && now - record->accepted > kRequestDeadline);
            if (!late) continue;
            shutdown(record->fd, SHUT_RDWR);
            record->cut = true;
            ++handler_.figures().connections_cut;
        }
    }
}

bool mhd_web_server::start(std::vector<listen_socket> sockets, std::string* error) {
    unsigned int flags =
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (config_.tls) {
        flags |= MHD_USE_TLS;
        priorities_ = tls_priorities(*config_.tls);
    }
    bool asks_certificate = config_.tls && !config_.tls->client_ca_pem.empty();
    for (listen_socket& socket : sockets) {
        MHD_OptionItem tls_options[] = {
            {MHD_OPTION_HTTPS_MEM_CERT, 0,
             config_.tls ? const_cast<char*>(config_.tls->cert_pem.c_str()) : nullptr},
            {MHD_OPTION_HTTPS_MEM_KEY, 0,
             config_.tls ? const_cast<char*>(config_.tls->key_pem.c_str()) : nullptr},
            {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(priorities_.c_str())},
            {asks_certificate ? MHD_OPTION_HTTPS_MEM_TRUST : MHD_OPTION_END, 0,
             asks_certificate ? const_cast<char*>(config_.tls->client_ca_pem.c_str()) : nullptr},
            {MHD_OPTION_END, 0, nullptr},
        };
        MHD_Daemon* daemon = MHD_start_daemon(
            flags, 0, nullptr, nullptr, &mhd_web_server::on_request, this, MHD_OPTION_LISTEN_SOCKET,
            socket.fd, MHD_OPTION_THREAD_POOL_SIZE, kServerThreads, MHD_OPTION_CONNECTION_LIMIT,
            kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds,
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
            &mhd_web_server::on_completed, this, MHD_OPTION_NOTIFY_CONNECTION,
            &mhd_web_server::on_connection, this, MHD_OPTION_EXTERNAL_LOGGER,
            &mhd_web_server::on_log, this, MHD_OPTION_ARRAY,
            config_.tls ? tls_options : tls_options + 4, MHD_OPTION_END);
        if (daemon == nullptr) {
            std::lock_guard<std::mutex> lock(mutex_);
            *error = "libmicrohttpd did not start on " + socket.shown +
                     (start_log_.empty() ? "" : ": " + start_log_);
            for (listen_socket& rest : sockets)
                if (rest.fd >= 0 && &rest != &socket) close(rest.fd);
            close(socket.fd);
            return false;
        }
        socket.fd = -1;  // the daemon's now
        daemons_.push_back(daemon);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = true;
    }
    watchdog_ = std::thread([this] { watch_deadlines(); });
    return true;
}

mhd_web_server::~mhd_web_server() {
    // Every suspended connection is resumed before the servers stop, as libmicrohttpd needs.
    logins_.stop();
    for (MHD_Daemon* daemon : daemons_) MHD_stop_daemon(daemon);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_watching_.notify_one();
    if (watchdog_.joinable()) watchdog_.join();
}

}  // namespace

std::unique_ptr<web_server> start_web_server(std::vector<listen_socket> sockets,
                                             const web_config& config, web_handler& handler,
                                             std::string* error) {
    try {
        auto server = std::make_unique<mhd_web_server>(config, handler);
        if (!server->start(std::move(sockets), error)) return nullptr;
        return server;
    } catch (const std::exception& failure) {
        *error = failure.what();
        return nullptr;
    }
}
