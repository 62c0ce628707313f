// Loads a settings file, looks up every entry, rewrites a tenth of them and
// saves, for files of 1 000, 10 000 and 100 000 entries; the same steps run
// through QSettings in IniFormat on the same files for comparison.
#include "settings/settings_file.h"

#include <benchmark/benchmark.h>

#include <QSettings>
#include <QString>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tavrelle::settings::SettingsFile;

constexpr int kEntriesPerSection = 100;

// The names of entry `i`. They are made on the spot: a table of a hundred
// thousand names would add its own cache misses to what is measured.
class EntryNames {
public:
    explicit EntryNames(std::size_t i)
    {
        section_ = Format(sectionBuffer_, "Section", i / kEntriesPerSection);
        name_ = Format(nameBuffer_, "Entry", i);
    }
    std::string_view section() const { return section_; }
    std::string_view name() const { return name_; }

private:
    template <std::size_t N>
    static std::string_view Format(char (&buffer)[N], std::string_view prefix, std::size_t number)
    {
        std::memcpy(buffer, prefix.data(), prefix.size());
        const auto end = std::to_chars(buffer + prefix.size(), buffer + N, number).ptr;
        return std::string_view(buffer, static_cast<std::size_t>(end - buffer));
    }

    char sectionBuffer_[32];
    char nameBuffer_[32];
    std::string_view section_;
    std::string_view name_;
};

// One generated file and its keys, made once per size in a temporary folder.
struct Workload {
    fs::path path;
    std::size_t entries = 0;
    std::vector<QString> qtKeys;
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
            workload.entries = static_cast<std::size_t>(entries);
            for (std::size_t i = 0; i < workload.entries; ++i) {
                const EntryNames names(i);
                if (i % kEntriesPerSection == 0) {
                    out << (i == 0 ? "" : "\r\n") << '[' << names.section() << "]\r\n";
                }
                out << names.name() << '=' << i * 7 << "\r\n";
                std::string qtKey(names.section());
                qtKey.append(1, '/').append(names.name());
                workload.qtKeys.push_back(QString::fromStdString(qtKey));
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
        SettingsFile file = SettingsFile::open(work.path.string());
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
    const SettingsFile file = SettingsFile::open(work.path.string());
    for (auto _ : state) {
        for (std::size_t i = 0; i < work.entries; ++i) {
            const EntryNames names(i);
            benchmark::DoNotOptimize(file.readString(names.section(), names.name(), ""));
        }
    }
    SetCounters(state);
}

void QSettings_LookupAll(benchmark::State& state)
{
    const Workload& work = files.For(static_cast<int>(state.range(0)));
    const QSettings settings(QString::fromStdString(work.path.string()), QSettings::IniFormat);
    for (auto _ : state) {
        for (const QString& key : work.qtKeys) {
            benchmark::DoNotOptimize(settings.value(key).toString());
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
            SettingsFile file = SettingsFile::open(work.path.string());
            state.ResumeTiming();
            for (std::size_t i = 0; i < work.entries; i += 10) {
                const EntryNames names(i);
                file.writeInteger(names.section(), names.name(), static_cast<int>(i));
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
            for (const QString& key : work.qtKeys) {
                benchmark::DoNotOptimize(settings.value(key));
            }
            state.ResumeTiming();
            for (std::size_t i = 0; i < work.qtKeys.size(); i += 10) {
                settings.setValue(work.qtKeys[i], static_cast<int>(i));
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
    SettingsFile file = SettingsFile::fromBytes(SettingsFile::open(work.path.string()).toBytes(),
                                                files.Scratch("tavrelle-save.ini").string());
    for (auto _ : state) {
        file.save();
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
        settings.setValue(work.qtKeys.front(), ++round);
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
        const SettingsFile file = SettingsFile::open(work.path.string());
        for (std::size_t i = 0; i < work.entries; ++i) {
            const EntryNames names(i);
            benchmark::DoNotOptimize(file.readString(names.section(), names.name(), ""));
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
            for (const QString& key : work.qtKeys) {
                benchmark::DoNotOptimize(settings.value(key).toString());
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
