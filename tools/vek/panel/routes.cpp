#include "panel/routes.hpp"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "panel/assets.hpp"
#include "panel/guard.hpp"
#include "vek_names.h"
#include "vek_sim.h"

namespace vektool::panel {

namespace {

using httplib::Request;
using httplib::Response;

void fail(Response &res, int status, const std::string &message) {
    res.status = status;
    res.set_content(json{{"ok", false}, {"error", {{"message", message}}}}.dump(), "application/json");
}

// The request's JSON object (400 when it is not one).
json bodyOf(const Request &req) {
    json body = json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) throw Refused(400, "the body must be a JSON object");
    return body;
}

// A 32-bit number given as a JSON number or as text ("0x80", "128").
uint32_t number(const json &body, const char *key, std::optional<uint32_t> fallback = std::nullopt) {
    const auto it = body.find(key);
    if (it == body.end() || it->is_null()) {
        if (fallback) return *fallback;
        throw Refused(400, std::string("'") + key + "' is missing");
    }
    if (it->is_number_unsigned() && it->get<uint64_t>() <= 0xFFFFFFFFu) return it->get<uint32_t>();
    if (it->is_string()) {
        const std::string text = it->get<std::string>();
        try {
            std::size_t used = 0;
            const unsigned long long n = std::stoull(text, &used, 0);
            if (used == text.size() && n <= 0xFFFFFFFFu) return static_cast<uint32_t>(n);
        } catch (const std::exception &) {
        }
    }
    throw Refused(400, std::string("'") + key + "' must be a number from 0 to 0xFFFFFFFF");
}

json param(const Request &req, const char *key) {
    return req.has_param(key) ? json(req.get_param_value(key)) : json(nullptr);
}

// Every JSON call: its answer, or a JSON error whatever went wrong; nothing
// a request does stops the server.
template <class F>
httplib::Server::Handler api(F f) {
    return [f](const Request &req, Response &res) {
        try {
            json out = f(req);
            out["ok"] = true;
            res.set_content(out.dump(), "application/json");
        } catch (const Refused &e) {
            fail(res, e.status, e.what());
        } catch (const DeviceError &e) {
            const char *name = VekResultName(e.code), *meaning = VekResultMeaning(e.code);
            res.status = 502;  // the board (or the library) said no
            res.set_content(json{{"ok", false},
                                 {"error",
                                  {{"message", std::string(e.what()) + ": " + (name ? name : hex32(e.code))},
                                   {"call", e.what()},
                                   {"code", e.code},
                                   {"result", name ? name : hex32(e.code)},
                                   {"meaning", meaning ? meaning : ""}}}}
                                .dump(),
                            "application/json");
        } catch (const json::exception &) {
            fail(res, 400, "a field of the request has the wrong type");
        } catch (const std::exception &e) {
            fail(res, 500, e.what());
        }
    };
}

json traceEntry(const VekSimTraceEntry &e) {
    return {{"kind", e.kind},   {"board", e.board},       {"ms", e.clockMs},          {"address", e.address},
            {"value", e.value}, {"endpoint", e.endpoint}, {"direction", e.direction}, {"length", e.length},
            {"bytes", e.bytes}, {"error", e.error},       {"request", e.bRequest}};
}

// Server-sent events: the virtual boards' trace from entry `next` on, as it
// grows, until the client leaves or the panel stops.
void streamTrace(const Request &req, Response &res, const std::atomic<bool> &stopping) {
    // A reconnecting page says where it was.
    auto next = std::make_shared<uint32_t>(
        static_cast<uint32_t>(std::strtoul(req.get_header_value("Last-Event-ID").c_str(), nullptr, 10)));
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider("text/event-stream", [next, &stopping](std::size_t, httplib::DataSink &sink) {
        if (stopping || !sink.is_writable()) return false;
        const uint32_t count = VekSimTraceCount();
        if (count < *next) *next = 0;  // the trace was cleared
        std::string out;
        VekSimTraceEntry e{};
        for (int n = 0; *next < count && n < 500 && VekSimTraceGet(*next, &e) == 0; ++n)
            out += "id: " + std::to_string(++*next) + "\ndata: " + traceEntry(e).dump() + "\n\n";
        if (out.empty()) {
            out = ": idle\n\n";  // also finds a client that left
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return sink.write(out.data(), out.size());
    });
}

}  // namespace

void serve(httplib::Server &server, const ServedPanel &panel) {
    Session &s = panel.session;
    const std::string cookie = "vek_panel_" + std::to_string(panel.port);
    server.set_payload_max_length(kUploadLimit);
    server.set_pre_routing_handler([panel, cookie](const Request &req, Response &res) {
        const std::string why = refusalOf(req.get_header_value("Host"), req.get_header_value("Origin"),
                                          req.get_header_value("Sec-Fetch-Site"), panel.port);
        if (!why.empty()) {
            fail(res, 403, why);
            return httplib::Server::HandlerResponse::Handled;
        }
        const std::string given =
            req.has_param("token") ? req.get_param_value("token") : cookieValue(req.get_header_value("Cookie"), cookie);
        if (!sameSecret(given, panel.token)) {
            fail(res, 401, "this panel needs its token: open the address 'vek panel' printed");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.has_param("token") && req.path == "/") {
            // The token moves to a cookie that no other site's page sends.
            res.set_header("Set-Cookie", cookie + "=" + panel.token + "; Path=/; HttpOnly; SameSite=Strict");
            res.set_redirect("/", 303);
            return httplib::Server::HandlerResponse::Handled;
        }
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' blob:");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_error_handler([](const Request &, Response &res) {
        if (res.body.empty())
            fail(res, res.status,
                 res.status == 413 ? "the upload is larger than the panel takes"
                                   : "no such page or call (" + std::to_string(res.status) + ")");
    });
    server.set_exception_handler(
        [](const Request &, Response &res, std::exception_ptr) { fail(res, 500, "the request failed"); });

    for (const char *path : {"/", "/panel.css", "/panel.js"})
        server.Get(path, [](const Request &req, Response &res) {
            const Asset *a = findAsset(req.path);
            res.set_content(reinterpret_cast<const char *>(a->data), a->size, a->type);
        });

    server.Get("/api/boards", api([&s](const Request &) { return s.boards(); }));
    server.Post("/api/boards/virtual",
                api([&s](const Request &r) { return s.attachVirtual(number(bodyOf(r), "board_type_register", 0u)); }));
    server.Post("/api/open", api([&s](const Request &r) { return s.open(number(bodyOf(r), "index")); }));
    server.Post("/api/close", api([&s](const Request &) { return s.close(); }));
    server.Post("/api/init", api([&s](const Request &r) {
                    const json b = bodyOf(r);
                    return s.init(number(b, "frequency"), number(b, "gray_bits"), number(b, "reg30", 0u));
                }));
    server.Get("/api/names", api([&s](const Request &) { return s.names(); }));
    server.Post("/api/command", api([&s](const Request &r) {
                    const json b = bodyOf(r);
                    return s.command(b.value("command", json()), number(b, "value", 0u));
                }));
    server.Post("/api/inquire", api([&s](const Request &r) { return s.inquire(bodyOf(r).value("inquiry", json())); }));
    server.Post("/api/register/read",
                api([&s](const Request &r) { return s.readRegister(bodyOf(r).value("register", json())); }));
    server.Post("/api/register/write", api([&s](const Request &r) {
                    const json b = bodyOf(r);
                    return s.writeRegister(b.value("register", json()), number(b, "value"));
                }));
    server.Post("/api/timing/preview", api([&s](const Request &r) {
                    const json b = bodyOf(r);
                    return s.timingPreview(number(b, "planes"), number(b, "period"), number(b, "aux", 0u));
                }));
    server.Post("/api/timing", api([&s](const Request &r) {
                    const json b = bodyOf(r);
                    return s.setTiming(number(b, "planes"), number(b, "period"), number(b, "aux", 0u));
                }));
    server.Post("/api/frequency", api([&s](const Request &r) { return s.command(14u, number(bodyOf(r), "hz")); }));
    server.Post("/api/trigger", api([&s](const Request &r) {
                    const json b = bodyOf(r);
                    return s.setTrigger(number(b, "reg34", 0u), b.value("enable", false), number(b, "reg36", 0u),
                                        number(b, "reg37", 0u));
                }));
    server.Get("/api/gpio", api([&s](const Request &) { return s.gpio(std::nullopt); }));
    server.Post("/api/gpio", api([&s](const Request &r) { return s.gpio(number(bodyOf(r), "output")); }));
    server.Post("/api/frames", api([&s](const Request &r) {
                    const json q = {{"planes", param(r, "planes")}, {"address", param(r, "address")}};
                    FrameRequest f;
                    f.name = r.has_param("name") ? r.get_param_value("name") : "";
                    f.planes = number(q, "planes", 0xFFu);
                    if (!q["address"].is_null()) f.address = number(q, "address");
                    f.resize = r.get_param_value("resize") == "1";
                    return s.loadFrame(r.body, f);
                }));
    server.Post("/api/frames/generated",
                api([&s](const Request &r) { return s.loadGenerated(bodyOf(r).value("set", "")); }));
    server.Get("/api/gallery", api([&s](const Request &) { return s.gallery(); }));
    server.Get(R"(/api/thumbs/(\d{1,6})\.png)", [&s](const Request &req, Response &res) {
        try {
            res.set_content(s.thumbnail(std::stoul(req.matches[1].str())), "image/png");
        } catch (const Refused &e) {
            fail(res, e.status, e.what());
        }
    });
    server.Get("/api/activity", api([&s](const Request &r) {
                   return s.activity(number({{"after", param(r, "after")}}, "after", 0u));
               }));
    const std::atomic<bool> &stopping = panel.stopping;
    server.Get("/api/trace", [&stopping](const Request &req, Response &res) { streamTrace(req, res, stopping); });
}

}  // namespace vektool::panel
