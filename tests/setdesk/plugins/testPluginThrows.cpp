// A plugin whose calls throw: the editor must go on without it.
#include "testEditor.h"

#include <stdexcept>

namespace {

class throwingDescription : public config_plugin_desc
{
public:
    QStringList keys(const QString &, const QString &) override { return {QStringLiteral("Boom")}; }
    QPixmap icon(const QString &) override { throw std::runtime_error("no icon"); }
    config_plugin_base *create(const QString &, const QString &, const QString &) override
    {
        throw std::runtime_error("cannot create");
    }
};

} // namespace

extern "C" SETDESK_PLUGIN_ENTRY config_plugin_desc *load_tavex_config_plugin_desc()
{
    return new throwingDescription;
}
