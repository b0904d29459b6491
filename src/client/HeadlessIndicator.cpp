#include "client/HeadlessIndicator.h"

#include "client/Settings.h"

CHeadlessIndicator::CHeadlessIndicator(CSettings* settings) : m_pSettings(settings) {}

bool CHeadlessIndicator::Create()
{
    const CSettings* settings = m_pSettings ? m_pSettings : CSettings::GetInstance();
    m_nLeft = settings->GetNumber("IndicatorXPos");
    m_nTop = settings->GetNumber("IndicatorYPos");
    m_bVisible = false;
    m_bCreated = true;
    sessionEnded();
    return true;
}

void CHeadlessIndicator::Destroy()
{
    m_bCreated = false;
    m_bVisible = false;
}

void CHeadlessIndicator::sessionEnded()
{
    m_nLinkQuality = 0;
    m_bSessionActive = false;
}

void CHeadlessIndicator::setLinkQuality(int percent)
{
    // Values outside 0..100 are ignored, as by the window.
    if (percent < 0 || percent > 100)
    {
        return;
    }
    m_nLinkQuality = percent;
    m_bSessionActive = true;
}
