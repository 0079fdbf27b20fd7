#!/usr/bin/env python3
"""Tests of check_layers.py on small trees made in a temporary folder."""
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_layers  # noqa: E402


def make_tree(files):
    root = tempfile.mkdtemp(prefix="layers-")
    for rel, text in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return root


class IncludeTest(unittest.TestCase):
    CASES = [
        # (including file, include line, finding expected)
        ("common/base/a.cpp", '#include "engine/log/VekLog.h"', True),
        ("common/objects/a.h", '#include "services/trust/I.h"', True),
        ("services/trust/a.cpp", '#include "common/base/qkMemory.h"', False),
        ("services/trust/a.cpp", '#include "services/trust/b.h"', False),
        ("net/http/a.cpp", '#include "../../engine/x/y.h"', True),
        ("net/http/a.cpp", '#  include <ui/z.h>', True),
        ("statusprobe/a.cpp", '#include "common/base/qkMemory.h"', True),
        ("ui/a.cpp", '#include "statusprobe/p.h"', True),
        ("ui/a.cpp", '#include "engine/x/y.h"', False),
        ("engine/x/a.cpp", '#include <windows.h>', False),
        ("net/download/a.cpp", '#include "engine/log/VekLog.h"', True),
        ("net/http/a.cpp", '#include "engine/log/VekLog.h"', True),
    ]

    def test_cases(self):
        for rel, line, expected in self.CASES:
            with self.subTest(rel=rel, line=line):
                root = make_tree({rel: line + "\n", "engine/x/y.h": "", "common/base/qkMemory.h": ""})
                findings = []
                check_layers.check_includes(root, findings)
                self.assertEqual(bool(findings), expected, findings)


class LibraryTest(unittest.TestCase):
    def check(self, graph, files=None):
        root = make_tree(files or {})
        path = os.path.join(root, "libs.txt")
        with open(path, "w") as f:
            for name, dirs, links in graph:
                f.write(f"{name}\t{';'.join(dirs)}\t{';'.join(links)}\n")
        findings = []
        edges = check_layers.check_includes(root, findings)
        check_layers.check_libraries(check_layers.read_libraries(path), edges, findings)
        return findings

    CLEAN = [("vek_common", ["common/base"], ["vek_options"]),
             ("vek_services", ["services"], ["vek_common"]),
             ("vek_log", ["engine/log"], ["vek_common"]),
             ("vek_engine", ["engine"], ["vek_log", "vek_services"])]

    def test_clean_graph_passes(self):
        self.assertEqual(self.check(self.CLEAN, {"engine/x/a.cpp": '#include "common/base/b.h"\n',
                                                 "common/base/b.h": ""}), [])

    def test_faults(self):
        cases = [
            ("upward link", [("vek_common", ["common/base"], ["vek_services"]),
                             ("vek_services", ["services"], [])], {}, "links vek_services"),
            ("cycle", [("vek_log", ["engine/log"], ["vek_engine"]),
                       ("vek_engine", ["engine"], ["vek_log"])], {}, "cycle"),
            ("include without link", [("vek_common", ["common/base"], []),
                                      ("vek_services", ["services"], [])],
             {"services/a.cpp": '#include "common/base/b.h"\n', "common/base/b.h": ""}, "does not link"),
            # engine/log is its own library inside the engine's folder: the engine must link it.
            ("nested library", [("vek_log", ["engine/log"], []), ("vek_engine", ["engine"], [])],
             {"engine/x/a.cpp": '#include "engine/log/L.h"\n', "engine/log/L.h": ""}, "does not link"),
        ]
        for title, graph, files, text in cases:
            with self.subTest(title):
                findings = self.check(graph, files)
                self.assertTrue(any(text in f for f in findings), findings)


class JsonTest(unittest.TestCase):
    CASES = [
        # (code, finding expected)
        ('void f(const nlohmann::json& j) { auto x = j["a"]; }', True),
        ('void f(const json &j) { g(j [ "a" ]); }', True),
        ('void f(const nlohmann::json& j) { auto x = j.value("a", 0); auto y = j.find("b"); }', False),
        ('void f(nlohmann::json& j) { j["a"] = 1; }', False),
        ('void f(const nlohmann::json& j) { (void)j; }\nvoid g(nlohmann::json& j) { j["a"] = 1; }', False),
        ('void f(const nlohmann::json& doc) { for (const auto& e : doc) use(e["k"]); }', True),
        ('void f(const nlohmann::json& doc) { for (const auto& e : doc) { use(e); } }\n'
         'void g(nlohmann::json& e) { e["k"] = 2; }', False),
        ('void f(const nlohmann::json* node) { auto v = (*node)["k"]; }', True),
        ('void f(const nlohmann::json* node) { auto v = node->operator[]("k"); }', True),
        ('void f(const nlohmann::json& j) { /* j["a"] */ log(L"j[\\"a\\"]"); } // j["b"]', False),
        ('int f(const std::vector<int>& v) { const auto& w = v; return w[0]; } // nlohmann', False),
        ('struct S { S(const nlohmann::json& j) : m(j["a"]) {} int m; };', True),
        ('void f() { const auto& node = Doc(); if (node.contains("a")) g(node["a"]); } // json', True),
        ('void f() { const nlohmann::json doc = Load(); use(doc["a"]); }', True),
        ('void f(const nlohmann::json& d) { for (const auto& [k, v] : d.items()) use(v["a"]); }', True),
        ('void f(const nlohmann::json& d) { for (const auto& [k, v] : d.items()) use(k, v.value("a", 0)); }', False),
        ('int f(const nlohmann::json::object_t& o) { return 0; }\nvoid g(nlohmann::json& o) { o["a"] = 1; }', False),
    ]

    def test_cases(self):
        for code, expected in self.CASES:
            with self.subTest(code=code):
                findings = check_layers.const_json_index_findings("a.cpp", code)
                self.assertEqual(bool(findings), expected, findings)


class WideFormatTest(unittest.TestCase):
    CASES = [
        # (file, code, finding expected)
        ("engine/a.cpp", 'void f(wchar_t* b) { ::swprintf(b, 8, L"%s", L"x"); }', True),
        ("engine/a.cpp", 'void f(wchar_t* b) { std::swprintf(b, 8, L"%d", 1); }', True),
        ("net/a.cpp", 'void f(wchar_t* b) { swprintf (b, 8, L"%d", 1); }', True),
        ("common/a.cpp", 'void f(wchar_t* b, va_list a) { std::vswprintf(b, 8, L"%d", a); }', True),
        ("ui/a.cpp", 'void f(wchar_t* b) { _snwprintf(b, 7, L"%d", 1); }', True),
        ("ui/a.cpp", 'void f(wchar_t* b, va_list a) { _vsnwprintf(b, 7, L"%d", a); }', True),
        ("ui/a.cpp", 'int f(va_list a) { return _vscwprintf(L"%d", a); }', True),
        ("tests/a.cpp", 'void f(wchar_t* b) { wsprintfW(b, L"%d", 1); }', True),
        ("tests/a.cpp", 'void f(wchar_t* b) { StringCchPrintfW(b, 8, L"%d", 1); }', True),
        ("engine/a.cpp", 'void f(wchar_t* b) { __mingw_snwprintf(b, 8, L"%d", 1); }', True),
        ("engine/a.cpp", 'void f(wchar_t* b) { qkLib::FormatWide(b, 8, L"%s", L"x"); }', False),
        ("engine/a.cpp", 'void f(std::wstring& s) { qkStringConvert::Format(s, L"%s", L"x"); }', False),
        ("engine/a.cpp", 'void f() { log(L"swprintf(b, 8)"); } // swprintf(b, 8, ...) reads %s as narrow', False),
        ("engine/a.cpp", 'void f(char* b) { snprintf(b, 8, "%s", "x"); }', False),
        ("common/base/qkWideFormat.cpp", 'int f(wchar_t* b, va_list a) { return _vsnwprintf(b, 7, L"%d", a); }',
         False),
    ]

    def test_cases(self):
        for rel, code, expected in self.CASES:
            with self.subTest(rel=rel, code=code):
                findings = check_layers.wide_format_findings(rel, code)
                self.assertEqual(bool(findings), expected, findings)


class LauncherCodeTest(unittest.TestCase):
    CASES = [
        # (file, code, finding expected)
        # Result codes of the launcher's family: anywhere outside the table, in any spelling.
        ("engine/a.cpp", "constexpr HRESULT kX = static_cast<HRESULT>(0x80047E55);", True),
        ("ui/a.cpp", "if (hr == 0x80047ec6UL) f();", True),
        ("net/a.cpp", "int x = -2147189050;", True),  # 0x80047EC6 as a signed decimal
        ("engine/a.cpp", "switch (hr) { case 0x80047EC1: break; }", True),
        ("net/download/a.h", "constexpr HRESULT VEK_E_DISK_FULL = static_cast<HRESULT>(0x80070070);", True),
        ("services/launcher/VekResultCodes.h", "X(VEK_E_TRUST, 0x005, L\"t\") return 0x80047E00u + o;", False),
        ("engine/plugin/sdk/VekPluginInterfaces.h", "constexpr HRESULT k = (HRESULT)0x80047F30L;", False),
        ("engine/a.cpp", "if (hr == 0x80004005 || hr == 0x80070070 || hr == E_FAIL) f(0x80047DFF, 0x80048000);", False),
        ("engine/a.cpp", "log(L\"hr=0x80047E01\"); f(VEK_E_JSON_NOT_PARSED); // fails with VEK_E_JSON_NOT_PARSED", False),
        ("engine/a.h", "// fails with 0x80047E01 when the text is no JSON", True),
        ("engine/a.h", "/* 0x80047E55\n out of range */ int f();", True),
        # Exit codes: assigned, compared or passed where an exit code goes.
        ("engine/VekLauncher.cpp", "void f(bool s) { g_ExitCode = s ? 13 : 3; }", True),
        ("ui/dialog/a.cpp", "if (g_ExitCode == 0) f();", True),
        ("ui/dialog/a.cpp", "if (0 != g_ExitCode) f();", True),
        ("ui/dialog/a.cpp", "void f() { showVekDialog(18); }", True),
        ("ui/joblist/a.cpp", "void f() { SetExitCode(12); }", True),
        ("ui/dialog/a.cpp", "void f(int p) { g_ExitCode = p; showVekDialog(PageAttention); SetExitCode(ExitNormal); "
         "::PostQuitMessage(g_ExitCode); g_ExitCode = ExitRelaunched; }", False),
        ("ui/dialog/a.cpp", "void f() { Resize(g_ExitCode, 20); m_count = 3; return 8; }", False),
        # Job events: switch labels on an event, comparisons of an event, local event constants.
        ("ui/tray/a.cpp", "void f(int event) { switch (event) { case 15: case eFailover: break; } }", True),
        ("ui/a.cpp", "void f(R& r) { switch (r.event) { case -1: break; } }", True),
        ("ui/joblist/a.cpp", "void f(int event) { if (event == 9 || event == eEngineEnd) g(); }", True),
        ("ui/joblist/a.cpp", "void f(const R* record) { if (record->event != 0) g(); }", True),
        ("ui/engine/a.cpp", "constexpr int32_t kEventFailover = 12;", True),
        ("ui/joblist/a.cpp", "constexpr int kStatusRestartCountdown = 13;", True),
        ("ui/dialog/a.cpp", "void f() { LogStatusEvent(18); }", True),
        ("ui/dialog/a.cpp", "void f() { LogStatusEventF(4, L\"x %d\", 1); }", True),
        ("ui/tray/a.cpp", "void f(int event, int page) { switch (event) { case eFailover: break; } "
         "switch (page) { case 3: break; } switch (state) { case -2: break; } }", False),
        ("ui/a.cpp", "void f(int event) { switch (event) { case eJobFinish: switch (mode) { case 2: break; } } }",
         False),
        ("engine/a.cpp", "constexpr int kLaunchPingEvent = 256; constexpr DWORD kStepEvent = 8875; "
         "constexpr int kStringExitQuestion = 156; if (count == 2 && m_deferredEvent != 0) g();", False),
        ("settings/a.cpp", "constexpr int kStatusDiskFull = 3; void f(int event) { switch (event) { case 1: break; } }",
         False),
        ("net/download/a.cpp", "void f(int event) { if (event == 4) g(); }", False),
        # Engine states and job events by where they come from, under any name and comparison.
        ("ui/tray/a.cpp", "void f() { if (m_engine->GetEngineState() == 7) g(); }", True),
        ("ui/a.cpp", "void f() { const int32_t s = engine->GetEngineState(); if (s != 4) g(); }", True),
        ("ui/a.cpp", "void f() { auto s = engineState(); if (s < 0) g(); }", True),
        ("ui/a.cpp", "void f() { if (-1 >= view.GetEngineState()) g(); }", True),
        ("ui/a.cpp", "void f() { int now = engineState(); switch (now) { case 6: break; } }", True),
        ("ui/joblist/a.cpp", "constexpr int32_t kFatal = -3; void f() { if (e->GetEngineState() == kFatal) g(); }",
         True),
        ("ui/a.cpp", "int U::engineState() { if (!m_engine) return -3; return m_engine->GetEngineState(); }", True),
        ("ui/a.cpp", "void f() { const int s = m_engine ? m_engine->GetEngineState() : -3; }", True),
        ("engine/a.cpp", "void f(engine_state::EngineState current) { if (current > 2) g(); }", True),
        ("engine/a.cpp", "void f(int engineState) { if (engineState == 4) g(); }", True),
        ("engine/a.cpp", "void R::send(int kind, const json& job) { if (kind == 2) g(); }", True),
        ("ui/a.cpp", "auto slot = [](int32_t code, const nlohmann::json& node) { return code <= 11; };", True),
        ("engine/a.cpp", "void f(VEK_JOB_EVENTS what) { switch (what) { case eFatalError: case 28: break; } }", True),
        ("engine/a.cpp", "constexpr int32_t kRetry = 32; void f(const json& n) { m_emitter.Fire(kRetry, n); }", True),
        ("ui/a.cpp", "void f() { if (m_engine->GetEngineState() == engine_state::eJobsDone) g(); "
         "const int s = engineState(); switch (s) { case engine_state::eFailover: break; } }", False),
        ("ui/a.h", "struct V { virtual int32_t GetEngineState() = 0; };", False),
        ("engine/a.cpp", "void f(int32_t event, const json& n) { const int32_t t = ErrorTypeFor(event); if (t >= 0) g(); }",
         False),
        ("ui/a.cpp", "void f(int state) { switch (state) { case 2: break; } if (count < 3) g(); }", False),
        ("engine/manifest/VekJobStates.h", "enum E { eFailover = 12 }; constexpr int kEventX = 3;", False),
        ("engine/report/VekStatusEvents.h", "enum S { BACKEND_CHECK_FAILED = 18 }; LogStatusEvent(3);", False),
    ]

    def test_cases(self):
        for rel, code, expected in self.CASES:
            with self.subTest(rel=rel, code=code):
                findings = check_layers.launcher_code_findings(rel, code)
                self.assertEqual(bool(findings), expected, findings)

    def test_planted_literal_in_a_tree_fails_and_clean_tree_passes(self):
        clean = {"engine/job/a.cpp": "HRESULT f() { return VEK_E_PLUGIN_START; }\n",
                 "services/launcher/VekResultCodes.h": "X(VEK_E_PLUGIN_START, 0x0C2, L\"s\")\n"}
        findings = []
        check_layers.check_launcher_codes(make_tree(clean), findings)
        self.assertEqual(findings, [])
        planted = dict(clean)
        planted["engine/job/a.cpp"] = "HRESULT f()\n{\n    return 0x80047EC2;\n}\n"
        findings = []
        check_layers.check_launcher_codes(make_tree(planted), findings)
        self.assertEqual(len(findings), 1, findings)
        self.assertTrue(findings[0].startswith("engine/job/a.cpp:3: "), findings)

    def test_documentation_names_codes_too(self):
        tree = {"engine/job/README.md": "| `Job` | fails with `VEK_E_PLUGIN_START` |\n"
                                        "| `Other` | refused (0x80047E01) when not an object |\n",
                "services/launcher/VekResultCodes.h": "X(VEK_E_PLUGIN_START, 0x0C2, L\"s\")\n"}
        findings = []
        check_layers.check_launcher_codes(make_tree(tree), findings)
        self.assertEqual(len(findings), 1, findings)
        self.assertTrue(findings[0].startswith("engine/job/README.md:2: "), findings)


if __name__ == "__main__":
    unittest.main()
