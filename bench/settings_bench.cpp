// Loads a settings file, looks up every entry, rewrites a tenth of them and
// saves, for files of 1 000, 10 000 and 100 000 entries; the same steps run
// through QSettings in IniFormat on the same files for comparison.
#include "settings/settings_file.h"

#include <benchmark/benchmark.h>

#include <QSettings>
#include <QString>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tavrelle::settings::SettingsFile;

constexpr int kEntriesPerSection = 100;

struct Key {
    std::string section;
    std::string name;
    QString qtKey;
};

// One generated file and its keys, made once per size in a temporary folder.
struct Workload {
    fs::path path;
    std::vector<Key> keys;
};

class Files {
public:
    ~Files()
    {
        if (!folder_.empty()) {
            fs::remove_all(folder_);
        }
    }

    const Workload& For(int entries)
    {
        if (folder_.empty()) {
            std::string pattern = (fs::temp_directory_path() / "settings_bench.XXXXXX").string();
            folder_ = ::mkdtemp(pattern.data());
        }
        Workload& workload = workloads_[entries];
        if (workload.path.empty()) {
            workload.path = folder_ / ("entries-" + std::to_string(entries) + ".ini");
            std::ofstream out(workload.path, std::ios::binary);
            for (int i = 0; i < entries; ++i) {
                const std::string section = "Section" + std::to_string(i / kEntriesPerSection);
                const std::string name = "Entry" + std::to_string(i);
                if (i % kEntriesPerSection == 0) {
                    out << (i == 0 ? "" : "\r\n") << '[' << section << "]\r\n";
                }
                out << name << '=' << i * 7 << "\r\n";
                workload.keys.push_back({section, name, QString::fromStdString(section + "/" + name)});
            }
        }
        return workload;
    }

    fs::path Scratch(const std::string& name) const { return folder_ / name; }

private:
    fs::path folder_;
    std::map<int, Workload> workloads_;
};

Files files;

void SetCounters(benchmark::State& state)
{
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// QSettings keeps parsed files in a process-wide cache by file name, so
// every timed load goes to a fresh name for the file to be parsed again.
class FreshName {
public:
    explicit FreshName(const fs::path& original)
        : path_(files.Scratch("fresh-" + std::to_string(counter_++) + ".ini"))
    {
        fs::create_hard_link(original, path_);
    }
    ~FreshName() { fs::remove(path_); }
    QString qt() const { return QString::fromStdString(path_.string()); }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

void Tavrelle_Load(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        SettingsFile file = SettingsFile::Open(work.path.string());
        benchmark::DoNotOptimize(file);
    }
    SetCounters(state);
}

void QSettings_Load(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        {
            FreshName fresh(work.path);
            state.ResumeTiming();
            QSettings settings(fresh.qt(), QSettings::IniFormat);
            benchmark::DoNotOptimize(settings.status());
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    SetCounters(state);
}

void Tavrelle_LookupAll(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    const SettingsFile file = SettingsFile::Open(work.path.string());
    for (auto _ : state) {
        for (const Key& key : work.keys) {
            benchmark::DoNotOptimize(file.ReadString(key.section, key.name, ""));
        }
    }
    SetCounters(state);
}

void QSettings_LookupAll(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    const QSettings settings(QString::fromStdString(work.path.string()), QSettings::IniFormat);
    for (auto _ : state) {
        for (const Key& key : work.keys) {
            benchmark::DoNotOptimize(settings.value(key.qtKey).toString());
        }
    }
    SetCounters(state);
}

// Rewriting happens once per run, on a copy just loaded and read, so each
// round starts from such a copy; repeating writes on one copy would measure
// a state that a run never reaches.
void Tavrelle_RewriteTenth(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        {
            SettingsFile file = SettingsFile::Open(work.path.string());
            state.ResumeTiming();
            for (std::size_t i = 0; i < work.keys.size(); i += 10) {
                file.WriteInteger(work.keys[i].section, work.keys[i].name, static_cast<int>(i));
            }
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    SetCounters(state);
}

void QSettings_RewriteTenth(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        {
            FreshName fresh(work.path);
            QSettings settings(fresh.qt(), QSettings::IniFormat);
            for (const Key& key : work.keys) {
                benchmark::DoNotOptimize(settings.value(key.qtKey));
            }
            state.ResumeTiming();
            for (std::size_t i = 0; i < work.keys.size(); i += 10) {
                settings.setValue(work.keys[i].qtKey, static_cast<int>(i));
            }
            state.PauseTiming();
            settings.clear();  // keeps the destructor from writing the file
        }
        state.ResumeTiming();
    }
    SetCounters(state);
}

void Tavrelle_Save(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    SettingsFile file = SettingsFile::FromBytes(SettingsFile::Open(work.path.string()).ToBytes(),
                                                files.Scratch("tavrelle-save.ini").string());
    for (auto _ : state) {
        file.Save();
    }
    SetCounters(state);
}

void QSettings_Save(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    fs::copy_file(work.path, files.Scratch("qsettings-save.ini"), fs::copy_options::overwrite_existing);
    QSettings settings(QString::fromStdString(files.Scratch("qsettings-save.ini").string()), QSettings::IniFormat);
    int round = 0;
    for (auto _ : state) {
        // QSettings writes only when something changed since the last sync.
        state.PauseTiming();
        settings.setValue(work.keys.front().qtKey, ++round);
        state.ResumeTiming();
        settings.sync();
    }
    SetCounters(state);
}

// The start of a run: open the file and read everything from it.
void Tavrelle_LoadAndLookupAll(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const SettingsFile file = SettingsFile::Open(work.path.string());
        for (const Key& key : work.keys) {
            benchmark::DoNotOptimize(file.ReadString(key.section, key.name, ""));
        }
    }
    SetCounters(state);
}

void QSettings_LoadAndLookupAll(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        {
            FreshName fresh(work.path);
            state.ResumeTiming();
            const QSettings settings(fresh.qt(), QSettings::IniFormat);
            for (const Key& key : work.keys) {
                benchmark::DoNotOptimize(settings.value(key.qtKey).toString());
            }
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    SetCounters(state);
}

void Sizes(benchmark::internal::Benchmark* bench)
{
    bench->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(Tavrelle_Load)->Apply(Sizes);
BENCHMARK(QSettings_Load)->Apply(Sizes);
BENCHMARK(Tavrelle_LookupAll)->Apply(Sizes);
BENCHMARK(QSettings_LookupAll)->Apply(Sizes);
BENCHMARK(Tavrelle_RewriteTenth)->Apply(Sizes);
BENCHMARK(QSettings_RewriteTenth)->Apply(Sizes);
BENCHMARK(Tavrelle_Save)->Apply(Sizes);
BENCHMARK(QSettings_Save)->Apply(Sizes);
BENCHMARK(Tavrelle_LoadAndLookupAll)->Apply(Sizes);
BENCHMARK(QSettings_LoadAndLookupAll)->Apply(Sizes);

BENCHMARK_MAIN();
