#include "setting_rules.h"

#include "config.h"

namespace kel::wizard {

QString SettingRules::refusal(const QString &section, const QString &key, const QString &value) const {
    const QByteArray s = section.toUtf8(), k = key.toUtf8(), v = value.toUtf8();
    const auto words = kel::server::setting_refusal(std::string_view(s.constData(), static_cast<size_t>(s.size())),
                                                    std::string_view(k.constData(), static_cast<size_t>(k.size())),
                                                    std::string_view(v.constData(), static_cast<size_t>(v.size())),
                                                    folder_.toStdString());
    return words ? QString::fromStdString(*words) : QString();
}

}  // namespace kel::wizard
