#include "app/progress_line.h"

namespace norv {

std::string ProgressLine(const ScanProgress& progress) {
    const std::string checked = std::to_string(progress.counts.checked);
    switch (progress.phase) {
        case ScanPhase::kRecordingBaseline:
            return "Database initiating and scaning ( " + checked + " ) files ";
        case ScanPhase::kChecking:
            return "File scaning ( " + checked + " ) files ";
        case ScanPhase::kScanEnded:
            return "スキャンされたファイル数 ( " + checked + " )  ";
        case ScanPhase::kBaselineMade:
            return "データベースの初期化とスキャン ( " + checked + " ) ";
        case ScanPhase::kMarkedAllSeen:
            return "データベース更新";
    }
    return {};
}

}  // namespace norv
