// Simulated hosts sending their events into the fleet's store the way the collector's rsyslog
// (ompgsql) does: on each connection, batches of one INSERT statement per line between BEGIN and
// COMMIT. Prints the events per second stored over the measured seconds.
//
//   norv-fleet-insert CONNINFO CONNECTIONS HOSTS BATCH SECONDS
//
// Each connection sends for its own share of the hosts (host h goes through connection
// h % CONNECTIONS), in turn, each host's sequence rising by one per line; one line in four is a
// run, two a change, one a restore. The first second is not counted.
#include <libpq-fe.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Now() {
    char text[64];
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000+00:00", &tm);
    return text;
}

std::string Line(int host, long sequence, const std::string& time) {
    const std::string id = "bench" + std::to_string(host);
    const std::string head = R"({"schema":{"name":"norv.event","version":"1.1.0"},"time":")" +
                             time + R"(","host":{"name":"h)" + std::to_string(host) +
                             R"(","id":")" + id + R"("},"event":)";
    const std::string seq = std::to_string(sequence);
    switch (sequence % 4) {
        case 0:
            return head + R"({"kind":"state","action":"run","severity":6,"sequence":)" + seq +
                   R"(},"norv":{"version":"1.1.0","run":"0123456789abcdef","command":"check","outcome":"completed","checked":1200,"altered":1,"created":1,"deleted":0,"unchecked":0,"duration_s":0.42,"baseline_sha256":"3a7d1e0c5f0b9a3c8e2d4b6f1a0c9e8d7b6a5f4e3d2c1b0a9f8e7d6c5b4a3f2e"}})";
        case 3:
            return head + R"({"kind":"event","action":"action","severity":5,"sequence":)" + seq +
                   R"(},"norv":{"version":"1.1.0","run":"0123456789abcdef","action":"restore","path":"/var/www/html/index.html","outcome":"done","result":"/var/www/html/index.html"}})";
        default:
            return head + R"({"kind":"alert","action":"change","severity":4,"sequence":)" + seq +
                   R"(},"norv":{"version":"1.1.0","run":"0123456789abcdef","kind":"altered","path":"/var/www/html/page)" +
                   seq +
                   R"(.html","size":4,"mtime":"2026-12-07T10:47:40.000+09:00","old_md5":"60b725f10c9c85c70d97880dfe8191b3","new_md5":"dd8c4f3e0a4d7c8c2e0a5c0b1f9e3a77","changed":["content","mode"],"old":{"content":"sha256:9f86d081884c7d65","mode":"0644"},"new":{"content":"sha256:60303ae22b998861","mode":"4777"},"rule":{"number":1,"path":"/var/www/html","flag":3},"writer":null}})";
    }
}

bool Exec(PGconn* conn, const std::string& sql) {
    PGresult* r = PQexec(conn, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) std::fprintf(stderr, "norv-fleet-insert: %s", PQerrorMessage(conn));
    PQclear(r);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || argc > 8) {
        std::fprintf(stderr,
                     "usage: norv-fleet-insert CONNINFO CONNECTIONS HOSTS BATCH SECONDS "
                     "[FIRST-SEQUENCE [RATE]]\n");
        return 64;
    }
    const std::string conninfo = argv[1];
    const int connections = std::atoi(argv[2]);
    const int hosts = std::atoi(argv[3]);
    const int batch = std::atoi(argv[4]);
    const double seconds = std::atof(argv[5]);
    const long first_sequence = argc >= 7 ? std::atol(argv[6]) : 1;
    const double rate = argc == 8 ? std::atof(argv[7]) : 0;  // lines a second, 0: no limit
    std::atomic<long> counted{0};
    std::atomic<bool> failed{false};
    const Clock::time_point start = Clock::now();
    const Clock::time_point count_from = start + std::chrono::seconds(1);
    const Clock::time_point end = count_from + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));

    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            PGconn* conn = PQconnectdb(conninfo.c_str());
            if (PQstatus(conn) != CONNECTION_OK) {
                std::fprintf(stderr, "norv-fleet-insert: %s", PQerrorMessage(conn));
                failed = true;
                PQfinish(conn);
                return;
            }
            std::vector<int> own;
            for (int h = c; h < hosts; h += connections) own.push_back(h);
            std::vector<long> sequence(own.size(), first_sequence - 1);
            const std::string sender =
                "'10." + std::to_string(c) + ".0.1'";  // one relay per connection
            size_t next = 0;
            long sent = 0;
            while (!failed && Clock::now() < end) {
                if (rate > 0) {  // this connection's share of the rate, from the start
                    std::this_thread::sleep_until(
                        start +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            static_cast<double>(sent) * connections / rate)));
                }
                sent += batch;
                const std::string time = Now();
                if (!Exec(conn, "BEGIN")) break;
                for (int i = 0; i < batch; ++i, next = (next + 1) % own.size()) {
                    const std::string sql = "INSERT INTO norv_fleet.inbox(sender, line) VALUES (" +
                                            sender + ", '" +
                                            Line(own[next], ++sequence[next], time) + "')";
                    if (!Exec(conn, sql)) {
                        failed = true;
                        break;
                    }
                }
                if (failed || !Exec(conn, "COMMIT")) break;
                if (Clock::now() >= count_from && Clock::now() < end) counted += batch;
            }
            PQfinish(conn);
        });
    }
    for (std::thread& t : threads) t.join();
    if (failed) return 1;
    rusage used{};
    ::getrusage(RUSAGE_SELF, &used);
    const double cpu = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                       static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "%ld events in %.0f s over %d connections, batches of %d, %d hosts: %.0f events/s\n",
        counted.load(), seconds, connections, batch, hosts,
        static_cast<double>(counted.load()) / seconds);
    std::printf("the senders used %.1f s of processor time in %.1f s\n", cpu, total);
    return 0;
}
