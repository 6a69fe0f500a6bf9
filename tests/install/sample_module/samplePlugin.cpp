#include <setdesk_plugin.h>

namespace {

class sampleDescription : public config_plugin_desc
{
public:
    QStringList keys(const QString &, const QString &) override { return {QStringLiteral("Sample/Empty")}; }
    QPixmap icon(const QString &) override { return QPixmap(); }
    config_plugin_base *create(const QString &, const QString &, const QString &) override
    {
        return new config_plugin_base;
    }
};

} // namespace

extern "C" SETDESK_PLUGIN_ENTRY config_plugin_desc *load_tavex_config_plugin_desc()
{
    return new sampleDescription;
}
