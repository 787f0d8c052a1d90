#include "unit_proxy_service.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <optional>

namespace kel::wizard {
namespace {

struct Reply {
    std::optional<qtplat::UnitCall> call;
    qtplat::UnitStatus status;
    QPointer<QEventLoop> loop;
};

// Waits at most `wait_ms` for `answer` to be filled; the answer may still
// arrive afterwards, into the shared record, and is then dropped.
bool wait_for(const std::shared_ptr<Reply> &answer, int wait_ms) {
    if (answer->call) return true;
    QEventLoop loop;
    answer->loop = &loop;
    QTimer::singleShot(wait_ms, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return answer->call.has_value();
}

}  // namespace

ProxyService::State UnitProxyService::state(QString *why) {
    auto answer = std::make_shared<Reply>();
    units_.status(unit_, [answer](const qtplat::UnitCall &call, const qtplat::UnitStatus &status) {
        answer->call = call;
        answer->status = status;
        if (answer->loop) answer->loop->quit();
    });
    if (!wait_for(answer, status_wait_ms_)) {
        if (why) *why = tr("no answer within %1 ms").arg(status_wait_ms_);
        return State::Unknown;
    }
    if (!answer->call->ok()) {
        if (why) *why = qtplat::describe_failure(*answer->call);
        return State::Unknown;
    }
    return qtplat::is_serving(answer->status) ? State::Running : State::Stopped;
}

QString UnitProxyService::reload() {
    auto answer = std::make_shared<Reply>();
    units_.reload(unit_, [answer](const qtplat::UnitCall &call) {
        answer->call = call;
        if (answer->loop) answer->loop->quit();
    });
    if (!wait_for(answer, command_wait_ms_)) return tr("no answer within %1 ms").arg(command_wait_ms_);
    return answer->call->ok() ? QString() : qtplat::describe_failure(*answer->call);
}

}  // namespace kel::wizard
