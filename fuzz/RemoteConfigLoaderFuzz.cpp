// Feeds arbitrary bytes to the remote configuration loader as the body of a fetched document,
// on the virtual laptop in virtual time, through its completion and apply paths, and checks
// what it promises: a notice is offered at most once per id and remembered before it is, the
// cached feed is only ever an https address, and an outdated report names the document's
// minimum version.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/os/System.hpp"
#include "core/remote/RemoteConfig.hpp"
#include "core/remote/RemoteConfigLoader.hpp"
#include "core/runtime/ManualRuntime.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"
#include "core/support/UserDefaults.hpp"
#include "core/text/Url.hpp"
#include "platform/sim/SimHttpClient.hpp"
#include "platform/sim/VirtualLaptop.hpp"

namespace {

using noctave::RemoteConfig;
using noctave::RemoteConfigLoader;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// One machine for the whole run: its files live in a temporary folder of its own.
struct World {
    noctave::runtime::ManualRuntime runtime;
    noctave::runtime::RuntimeInstaller runtimeInstaller{runtime};
    noctave::sim::VirtualLaptop laptop;
    noctave::os::SystemInstaller systemInstaller{laptop.system()};
    noctave::AppInfo::Override build{{"1.4.2", false, "https://config.example.net/noctave.json",
                                      "https://updates.example.net/appcast.xml", "", ""}};
    World() { noctave::Log::setStandardErrorEnabled(false); }
};

World& world() {
    static World* instance = new World();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    World& w = world();
    auto& defaults = noctave::UserDefaults::standard();
    defaults.remove(RemoteConfigLoader::seenNoticeKey);
    defaults.remove(RemoteConfigLoader::cachedFeedKey);
    const std::string body(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> notices;
    std::vector<std::string> outdated;
    {
        RemoteConfigLoader loader;
        loader.onNotice = [&](const RemoteConfig::Notice& notice) {
            check(defaults.stringForKey(RemoteConfigLoader::seenNoticeKey) == notice.id);
            notices.push_back(notice.id);
        };
        loader.onOutdated = [&](const std::string& minimum) { outdated.push_back(minimum); };
        // The same document twice: the second may not offer its notice again.
        for (int fetch = 0; fetch < 2; ++fetch) {
            w.laptop.http().script(noctave::sim::SimHttpClient::Reply::document(body));
            loader.refresh(true);
            w.runtime.runUntilIdle();
        }
        check(notices.size() <= 1);
        // Each forced refresh asks for the configured document, once. Taking the record also
        // keeps the virtual network from holding every request of a long run.
        const auto sent = w.laptop.http().takeRequests();
        check(sent.size() == 2);
        for (const auto& request : sent) {
            check(request.url == "https://config.example.net/noctave.json");
        }
        const auto feed = loader.effectiveFeedURL();
        check(feed.has_value());
        const auto parsed = noctave::Url::parse(*feed);
        check(parsed && parsed->scheme == "https");

        const auto config = RemoteConfig::decode(body);
        if (!config || size > RemoteConfigLoader::maxDocumentBytes) {
            check(notices.empty() && outdated.empty());
        } else {
            check(notices.empty() == !config->notice.has_value());
            for (const auto& minimum : outdated) {
                check(config->minimumVersion == minimum);
            }
        }
    }
    // A loader gone before its callbacks ran leaves nothing that runs later.
    w.runtime.runUntilIdle();
    return 0;
}
