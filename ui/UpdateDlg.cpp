#include "UpdateDlg.h"

#include "AboutDlg.h"
#include "ShellOpen.h"
#include "UpdateLog.h"
#include "WebAddress.h"
#include "UpdateApp.h"
#include "resource.h"

BEGIN_MESSAGE_MAP(CUpdateDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_BTN_UPGRADE, &CUpdateDlg::OnUpgrade)
    ON_BN_CLICKED(IDC_BTN_EXIT, &CDialog::OnCancel)
    ON_MESSAGE(WM_DOWNLOAD_PROGRESS, &CUpdateDlg::OnDownloadProgress)
    ON_MESSAGE(WM_DOWNLOAD_FINISHED, &CUpdateDlg::OnDownloadFinished)
    ON_MESSAGE(WM_CANCEL_DOWNLOAD, &CUpdateDlg::OnCancelDownload)
    ON_WM_TIMER()
    ON_MESSAGE(WM_WINDOWPOSCHANGING, &CUpdateDlg::OnWindowPosChanging)
END_MESSAGE_MAP()

CUpdateDlg::CUpdateDlg()
    : CDialog(IDD),
      m_evCancel(FALSE, FALSE),
      m_hIcon(AfxGetApp()->LoadIcon(IDR_MAINFRAME)) {}

CUpdateDlg::~CUpdateDlg() {
    // The window goes first, while every member its handlers use still exists;
    // a worker's sends to it then fail at once.
    if (m_hWnd != nullptr) DestroyWindow();
    // A dialog ended while a transfer still runs (never on the program's own
    // paths): the cancel stops the transfer at its next progress step.
    if (m_pDownloadThread != nullptr) {
        m_evCancel.SetEvent();
        ReleaseWorker(kCancelGraceMs);
    }
}

void CUpdateDlg::SetUpdateInfo(UPDATE_INFO info, CString installedVersion, CString exeName) {
    m_info = std::move(info);
    m_strCurrentVersion = std::move(installedVersion);
    m_strExeName = std::move(exeName);
    g_strLocalPath = m_info.LocalPath;
}

BOOL CUpdateDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    if (CMenu* pSysMenu = GetSystemMenu(FALSE)) {
        const CString aboutMenu = AfxLoadString(IDS_ABOUTBOX);
        if (!aboutMenu.IsEmpty()) {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, aboutMenu.GetString());
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    // Created hidden (its template is not visible); the download shows it.
    m_dlgProgress.m_pOwner = this;
    m_dlgProgress.Create(CUpdateProcressDlg::IDD, this);
    const CString caption = AppCaption();
    m_dlgProgress.SetWindowText(caption);
    CString progressLine;
    progressLine.Format(L"%s软件正在升级到%s版本...", kProductWord, m_info.NewVer);
    m_dlgProgress.SetDlgItemText(IDC_PROGRESS_TEXT, progressLine);

    m_fontInfo.CreatePointFont(120, L"宋体");
    if (CWnd* notes = GetDlgItem(IDC_UPDATE_INFO)) notes->SetFont(&m_fontInfo, TRUE);

    SetDlgItemText(IDC_CURRENT_VERSION, CString(L"当前程序版本：") + m_strCurrentVersion);
    SetDlgItemText(IDC_UPDATE_INFO, m_info.UpdateInfo);

    // The log page opens only when it is a web address, and then as the
    // signed-in user; anything else leaves the link disabled.
    if (auto* link = dynamic_cast<CMFCLinkCtrl*>(GetDlgItem(IDC_UPDATE_LOG))) {
        if (IsWebAddress(m_info.InfoUrl)) {
            link->SetURL(m_info.InfoUrl.GetString());
            link->SetOpener([](const CString& target) { OpenWebPageAsUser(target); });
        } else {
            link->EnableWindow(FALSE);
        }
    }

    CString relaunch;
    relaunch.Format(L"升级完成后运行%s", kProductWord);
    SetDlgItemText(IDC_RUN_AFTER_UPGRADE, relaunch);
    SendDlgItemMessage(IDC_RUN_AFTER_UPGRADE, BM_SETCHECK, 1);

    SetWindowText(caption);
    // No offer: the dialog never shows (OnWindowPosChanging) and the update starts at once.
    if (m_bUnattended) PostMessage(WM_COMMAND, MAKEWPARAM(IDC_BTN_UPGRADE, BN_CLICKED), 0);
    return TRUE;
}

void CUpdateDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CUpdateDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    CRect rect;
    GetClientRect(&rect);
    const int x = (rect.Width() - cxIcon + 1) / 2;
    const int y = (rect.Height() - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CUpdateDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}

void CUpdateDlg::OnUpgrade() {
    if (m_pDownloadThread != nullptr || m_job) return;  // one download a run, however often this arrives
    UpdateLog::Write("answer", {{"offer", m_bUnattended ? "upgrade-unattended" : "upgrade"}});
    m_exit = UpdateExit::DownloadFailed;
    ShowWindow(SW_HIDE);
    StartDownload();
}

LRESULT CUpdateDlg::OnDownloadProgress(WPARAM, LPARAM lParam) {
    // Only the worker's own record counts: any program on the desktop can send
    // this message, with any address. The cancellation notice carries none.
    if (m_pDownloadThread == nullptr || !m_job || lParam != reinterpret_cast<LPARAM>(&m_job->progress)) return 0;
    const DownloadProgress* progress = &m_job->progress;
    // Values of 2^31 and more arrive negative: an empty range, a blank bar.
    m_dlgProgress.m_progress.SetRange(0, static_cast<int>(progress->ulProgressMax));
    m_dlgProgress.m_progress.SetPos(static_cast<int>(progress->ulProgress));
    return 0;
}

LRESULT CUpdateDlg::OnWindowPosChanging(WPARAM, LPARAM lParam) {
    if (m_bUnattended) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
    return Default();
}

LRESULT CUpdateDlg::OnCancelDownload(WPARAM, LPARAM) {
    if (m_bCancelAllowed) RequestCancel();
    return 0;
}
