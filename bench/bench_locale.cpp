// The message locale on the updater's hot paths: the time-remaining text that every progress update of the
// monitor thread formats, and the language switch that the interface thread makes when the user picks one.
#include <benchmark/benchmark.h>

#include "app/CatalogLocale.hpp"
#include "app/EmbeddedMessageCatalog.hpp"
#include "app/Messages.hpp"

namespace {

using namespace halcyne::Updater;

const EmbeddedMessageCatalog& Catalog() {
    static const EmbeddedMessageCatalog catalog = [] {
        EmbeddedMessageCatalog c("updater");
        c.AddAllCatalogs();
        return c;
    }();
    return catalog;
}

void TimeRemainingText(benchmark::State& state, const char* language) {
    CatalogLocale locale(Catalog(), language);
    int seconds = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(locale.TimeRemainingText(seconds));
        seconds = (seconds + 7919) % 100000;
    }
}
BENCHMARK_CAPTURE(TimeRemainingText, english, "en");
BENCHMARK_CAPTURE(TimeRemainingText, japanese, "ja");

void Translate(benchmark::State& state) {
    CatalogLocale locale(Catalog(), "de");
    for (auto _ : state) {
        benchmark::DoNotOptimize(locale.Translate(Message::DiskWriteError));
    }
}
BENCHMARK(Translate);

void SetLanguage(benchmark::State& state) {
    CatalogLocale locale(Catalog(), "");
    const char* languages[] = {"de", "es_MX", "zh_HK", "en"};
    std::size_t i = 0;
    for (auto _ : state) {
        locale.SetLanguage(languages[i++ % 4]);
    }
}
BENCHMARK(SetLanguage);

}  // namespace
