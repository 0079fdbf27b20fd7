#include "engine/plugin/VekCurrentPlugin.h"

#include <mutex>

namespace vek {

namespace {

std::mutex g_currentPluginLock;
IUnknown* g_plugins[2] = {nullptr, nullptr};

} // namespace

void VekCurrentPlugin::Set(PluginKind kind, IUnknown* plugin)
{
    IUnknown* previous = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_currentPluginLock);
        IUnknown*& slot = g_plugins[kind == PluginKind::Installation ? 0 : 1];
        if (plugin != nullptr) {
            plugin->AddRef();
        }
        previous = slot;
        slot = plugin;
    }
    // Released outside the lock: a plug-in's Release may do work of its own.
    if (previous != nullptr) {
        previous->Release();
    }
}

bool VekCurrentPlugin::IsSet(PluginKind kind)
{
    std::lock_guard<std::mutex> lock(g_currentPluginLock);
    return g_plugins[kind == PluginKind::Installation ? 0 : 1] != nullptr;
}

} // namespace vek
