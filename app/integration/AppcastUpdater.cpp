#include "app/integration/AppcastUpdater.hpp"

#include <QXmlStreamReader>
#include <algorithm>
#include <chrono>
#include <utility>

#include "core/os/HttpClient.hpp"
#include "core/os/System.hpp"
#include "core/remote/RemoteConfigLoader.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/UserDefaults.hpp"
#include "core/text/Url.hpp"

namespace noctave::app {

namespace {

// Feeds are read over HTTPS; plain HTTP only from this machine itself.
bool isUsableFeed(const std::string& address) {
    const auto url = Url::parse(address);
    if (!url || url->host.empty()) {
        return false;
    }
    if (url->scheme == "https") {
        return true;
    }
    const std::string host = url->lowercaseHost();
    return url->scheme == "http" && (host == "127.0.0.1" || host == "localhost" || host == "[::1]");
}

Alert informational(std::string message, std::string informativeText) {
    Alert alert;
    alert.message = QString::fromStdString(message);
    alert.informativeText = QString::fromStdString(informativeText);
    alert.style = Alert::Style::informational;
    alert.buttons = {QStringLiteral("OK")};
    return alert;
}

}  // namespace

AppcastUpdater::AppcastUpdater(Delegate& delegate, std::shared_ptr<os::HttpClient> http,
                               std::function<int(const Alert&)> present)
    : delegate_(delegate), present_(std::move(present)) {
    if (!present_) {
        present_ = [](const Alert& alert) { return Alerts::run(alert); };
    }
    if (!http) {
        http = os::system().httpClient;
    }
    if (http) {
        os::HttpClient::Configuration configuration;
        configuration.requestTimeout = 30;
        configuration.resourceTimeout = 60;
        configuration.headers = {{"User-Agent", "Noctave/" + AppInfo::shortVersion()}};
        session_ = http->makeSession(std::move(configuration));
    }
}

AppcastUpdater::~AppcastUpdater() = default;

void AppcastUpdater::setAutomaticallyChecksForUpdates(bool checks) {
    isAutomatic_ = checks;
    schedule();
}

void AppcastUpdater::setUpdateCheckInterval(double seconds) {
    interval_ = seconds > 0 ? seconds : 86400;
    schedule();
}

void AppcastUpdater::checkForUpdates() {
    check(true);
}

void AppcastUpdater::schedule() {
    timer_.reset();
    if (!isAutomatic_) {
        return;
    }
    // We have no way to ask for permission, so a delegate that wants it gets no background
    // checks; the user's own checks still work.
    if (delegate_.shouldPromptForPermissionToCheckForUpdates()) {
        return;
    }
    auto& defaults = UserDefaults::standard();
    const auto now = runtime::clock().wall();
    auto last = defaults.dateForKey(lastCheckKey);
    if (!last || *last > now) {
        // First run, or a clock set back: count the interval from now.
        defaults.set(lastCheckKey, now);
        last = now;
    }
    const double elapsed = std::chrono::duration<double>(now - *last).count();
    timer_ = runtime::Timer::oneShot(
        runtime::mainQueue(), std::max(interval_ - elapsed, 0.0), 60,
        runtime::bindWeak(weakFactory_.weak(), [](AppcastUpdater& self) { self.check(false); }));
}

void AppcastUpdater::check(bool userInitiated) {
    if (isChecking_) {
        userWaiting_ = userWaiting_ || userInitiated;
        return;
    }
    UserDefaults::standard().set(lastCheckKey, runtime::clock().wall());
    // Asked at every check, so a feed moved by the remote configuration applies at once.
    std::optional<std::string> feed = delegate_.feedURLString();
    if (!feed) {
        feed = AppInfo::feedURL();
    }
    if (!feed || !isUsableFeed(*feed)) {
        report(feed ? "the update feed is not an https address" : "no update feed", userInitiated);
        schedule();
        return;
    }
    if (!session_) {
        report("no network client on this system", userInitiated);
        schedule();
        return;
    }
    isChecking_ = true;
    timer_.reset();
    os::HttpRequest request;
    request.url = *feed;
    request.timeoutSeconds = 30;
    request.maxBodyBytes = maxAppcastBytes;
    auto weak = weakFactory_.weak();
    session_->get(std::move(request), [weak, userInitiated](os::HttpResult result) {
        runtime::mainQueue().async(runtime::bindWeak(
            weak, [userInitiated, result = std::move(result)](AppcastUpdater& self) {
                self.finish(userInitiated, result);
            }));
    });
}

void AppcastUpdater::finish(bool userInitiated, const os::HttpResult& result) {
    isChecking_ = false;
    const bool userWaits = userInitiated || userWaiting_;
    userWaiting_ = false;
    std::optional<std::string> newest;
    std::optional<std::string> error;
    if (result.isFailure()) {
        error = *result.error;
    } else if (!result.response.isHttp || result.response.status != 200) {
        error = "the update feed answered with status " + std::to_string(result.response.status);
    } else if (result.response.body.size() > maxAppcastBytes) {
        error = "the update feed is larger than " + std::to_string(maxAppcastBytes) + " bytes";
    } else if (!(newest = newestVersion(result.response.body))) {
        error = "the update feed lists no version";
    }
    if (error) {
        report(error, userWaits);
        schedule();
        return;
    }
    delegate_.didFinishUpdateCycle(std::nullopt);
    const std::string current = AppInfo::shortVersion();
    if (RemoteConfigLoader::compare(current, *newest) == RemoteConfigLoader::Order::ascending) {
        if (userWaits || announced_ != *newest) {
            announced_ = *newest;
            present_(informational("A new version of Noctave is available",
                                   "Noctave " + *newest + " is available; you have " + current +
                                       ". Install it the way you installed Noctave, for "
                                       "example with your package manager."));
        }
    } else if (userWaits) {
        present_(informational("You're up to date",
                               "Noctave " + current + " is the newest version available."));
    }
    schedule();
}

void AppcastUpdater::report(const std::optional<std::string>& error, bool userInitiated) {
    delegate_.didFinishUpdateCycle(error);
    if (userInitiated && error) {
        present_(informational("Noctave could not check for updates",
                               "The check failed: " + *error + "."));
    }
}

std::optional<std::string> AppcastUpdater::newestVersion(std::string_view appcast) {
    QXmlStreamReader reader(QByteArray(appcast.data(), static_cast<qsizetype>(appcast.size())));
    std::optional<std::string> newest;
    int itemDepth = -1;
    int depth = 0;
    QString shortVersion;
    QString version;
    const auto isVersionName = [](const auto& name) {
        return name == QLatin1String("shortVersionString") || name == QLatin1String("version");
    };
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (reader.name() == QLatin1String("item") && reader.namespaceUri().isEmpty()) {
                itemDepth = depth;
                shortVersion.clear();
                version.clear();
            } else if (itemDepth > 0) {
                // Versions come as namespaced child elements or as enclosure attributes.
                for (const auto& attribute : reader.attributes()) {
                    if (!attribute.namespaceUri().isEmpty() && isVersionName(attribute.name())) {
                        (attribute.name() == QLatin1String("version") ? version : shortVersion) =
                            attribute.value().toString().trimmed();
                    }
                }
                if (!reader.namespaceUri().isEmpty() && isVersionName(reader.name())) {
                    const bool isShort = reader.name() == QLatin1String("shortVersionString");
                    const QString text = reader.readElementText().trimmed();
                    --depth;  // readElementText consumed the end element
                    (isShort ? shortVersion : version) = text;
                }
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (depth == itemDepth) {
                itemDepth = -1;
                const QString display = !shortVersion.isEmpty() ? shortVersion : version;
                if (!display.isEmpty() &&
                    (!newest || RemoteConfigLoader::compare(*newest, display.toStdString()) ==
                                    RemoteConfigLoader::Order::ascending)) {
                    newest = display.toStdString();
                }
            }
            --depth;
        }
    }
    if (reader.hasError()) {
        return std::nullopt;
    }
    return newest;
}

}  // namespace noctave::app
