// Debian's nginx with its RTMP module, started by a test on loopback ports:
// the ingest a stream publishes to, recording what it takes as a platform
// would take it, and the web server that serves an HLS folder as an installed
// one does. Each runs in the foreground as a child of the test, its
// configuration, error log and pid file in a folder of its own.
#pragma once

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/child_process.h"

namespace test_nginx {

namespace fs = std::filesystem;

constexpr const char* kProgram = "/usr/sbin/nginx";
constexpr const char* kRtmpModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
constexpr const char* kWebUser = "www-data";  // who reads the files on an installed system
constexpr auto kStartWithin = std::chrono::seconds(10);

struct NginxSetup {
    int rtmpPort = 0;        // the ingest on 127.0.0.1; 0: none. Its applications: "live" records
                             // every stream into records/NAME.flv, "shut" denies every publisher,
                             // "refuse" (with httpPort) asks the web server, which answers 403
    int httpPort = 0;        // the web server on 127.0.0.1; 0: none
    fs::path webRoot;        // the folder it serves
    bool asWebUser = false;  // started as root: workers read files as www-data does
};

// Whether nginx and its RTMP module are installed (scripts/install-deps).
inline bool nginxInstalled() {
    return access(kProgram, X_OK) == 0 && access(kRtmpModule, R_OK) == 0;
}

// The configuration for setup, everything nginx writes kept inside dir.
inline std::string nginxConfig(const fs::path& dir, const NginxSetup& setup) {
    const std::string d = dir.string();
    // The user directive counts only for a root master, and only workers
    // change user: a web user needs a master; otherwise one process, which a
    // SIGKILL ends whole.
    const bool webUser = setup.asWebUser && geteuid() == 0 && getpwnam(kWebUser) != nullptr;
    std::string c = "load_module " + std::string(kRtmpModule) + ";\n";
    c += webUser ? "user " + std::string(kWebUser) + ";\nmaster_process on;\n"
                 : std::string("master_process off;\n");
    c += "daemon off;\nerror_log " + d + "/error.log info;\npid " + d + "/nginx.pid;\n";
    c += "events { worker_connections 64; }\n";
    if (setup.rtmpPort != 0) {
        c += "rtmp { server {\n  listen 127.0.0.1:" + std::to_string(setup.rtmpPort) + ";\n";
        c += "  application live { live on; record all; record_unique off; record_path " + d +
             "/records; }\n";
        c += "  application shut { live on; deny publish all; }\n";
        if (setup.httpPort != 0)
            c += "  application refuse { live on; on_publish http://127.0.0.1:" +
                 std::to_string(setup.httpPort) + "/refuse; }\n";
        c += "} }\n";
    }
    if (setup.httpPort != 0) {
        c += "http {\n  access_log off;\n";
        for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            c += "  " + std::string(temp) + "_temp_path " + d + "/temp;\n";
        c += "  types { application/vnd.apple.mpegurl m3u8; video/mp2t ts; }\n";
        c += "  server {\n    listen 127.0.0.1:" + std::to_string(setup.httpPort) + ";\n";
        c += "    root " + (setup.webRoot.empty() ? d : setup.webRoot.string()) + ";\n";
        c += "    location = /refuse { return 403; }\n  }\n}\n";
    }
    return c;
}

// Whether something takes TCP connections on the loopback port.
inline bool portTakes(int port) {
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(sock, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    close(sock);
    return ok;
}

// Starts nginx for setup in dir (made when missing; the recordings go to
// dir/records) and waits until its ports take connections. Null when it did
// not come up; dir/error.log and dir/nginx.err say why.
inline std::unique_ptr<Child> startNginx(const fs::path& dir, const NginxSetup& setup) {
    fs::create_directories(dir / "records");
    fs::create_directories(dir / "temp");
    // The workers write the recordings; as www-data when they are that user.
    fs::permissions(dir / "records", fs::perms::all);
    std::ofstream(dir / "nginx.conf") << nginxConfig(dir, setup);
    auto nginx = std::make_unique<Child>(
        std::vector<std::string>{kProgram, "-p", dir.string(), "-c", (dir / "nginx.conf").string()},
        dir, "nginx");
    const auto end = std::chrono::steady_clock::now() + kStartWithin;
    while (!nginx->ended() && std::chrono::steady_clock::now() < end) {
        if ((setup.rtmpPort == 0 || portTakes(setup.rtmpPort)) &&
            (setup.httpPort == 0 || portTakes(setup.httpPort)))
            return nginx;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

}  // namespace test_nginx
