#pragma once
// Stands in for the main dialog in the tasks' tests: keeps what a task showed
// and where its bar went, with the same slice arithmetic as the real listener.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Tasks.h"
#include "download/CatalogueService.h"

namespace mirqtest {

class CFakeHost : public mirq::ITaskHost, public mirq::ICatalogueListener {
public:
    void ShowDeviceInfo(bool rooted) override { shown.push_back(rooted ? "rooted" : "not rooted"); }
    void ResetDeviceInfo() override { shown.push_back("unknown"); }
    std::unique_ptr<mirq::IProgressListener> OpenProgress(int span) override {
        return std::unique_ptr<mirq::IProgressListener>(new CSlice(*this, span));
    }
    void ReportFlashError(int step) override { flashStep = step; }
    void ReportMessageDetail(const std::wstring& text) override { detail = text; }
    // The catalogue as the window keeps it: the built-in rows until one arrives.
    mirq::CatalogueRef LatestCatalogue() override { return catalogues.Current(); }
    void OnCatalogueArrived(const mirq::Catalogue& catalogue) override { catalogues.Use(catalogue); }
    // What a task started now would take.
    mirq::TaskInput Input(const std::wstring& romPath = L"") const {
        mirq::TaskInput input;
        input.romPath = romPath;
        input.catalogue = catalogues.Current();
        return input;
    }
    std::wstring Box(int result) const {
        const mirq::TaskMessage message = mirq::MessageFor(result, flashStep, detail);
        return message.caption ? message.caption + std::wstring(L": ") + message.text : L"";
    }

    std::vector<std::string> shown;
    std::vector<int> bar;
    std::vector<std::wstring> texts;
    int flashStep = -1;
    std::wstring detail;
    mirq::CCatalogueHolder catalogues;
    std::function<void(int span, int percent)> onReport;  // e.g. to ask for a stop at a given point

private:
    class CSlice : public mirq::IProgressListener {
    public:
        CSlice(CFakeHost& host, int span) : m_host(host), m_span(span), m_base(host.bar.empty() ? 0 : host.bar.back()) {}
        void OnProgress(int percent, const std::wstring& text) override {
            m_host.bar.push_back(m_base + static_cast<int>(percent * static_cast<double>(m_span) / 100.0));
            if (!text.empty()) m_host.texts.push_back(text);
            if (m_host.onReport) m_host.onReport(m_span, percent);
        }
        void OnReserved(int) override {}

    private:
        CFakeHost& m_host;
        int m_span;
        int m_base;
    };
};

}  // namespace mirqtest
