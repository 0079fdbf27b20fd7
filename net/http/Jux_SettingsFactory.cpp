#include "net/http/Jux_SettingsFactory.h"

#include "common/base/qkRegisterOnce.h"

namespace Jux {
namespace {

constinit qkRegisterOnce<SettingsFactory> g_factory;

} // namespace

HRESULT RegisterSettingsFactory(SettingsFactory factory)
{
    return g_factory.Register(factory);
}

SettingsFactory GetSettingsFactory()
{
    return g_factory.Get();
}

} // namespace Jux
