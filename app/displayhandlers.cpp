// The window's handlers for the display's Modbus settings and its value blocks:
// build the command, exchange it, judge the reply, apply the fields that passed.
#include "frmmain.h"

#include "combobox.h"
#include "commands.h"
#include "protocollimits.h"
#include "replies.h"
#include "shape.h"

#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>

#include <string_view>

namespace {

std::string_view view(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

} // namespace

void frmMain::ReadCommSettings()
{
    Frame2->setEnabled(false);
    shpPort->setBackColor(indicator::kYellow);
    strCommand = QByteArray::fromStdString(qm::readCommsCommand());
    if (!SendCommand())
        return;

    const qm::CommsReply reply = qm::judgeCommsReply(view(strResponse));
    if (reply.passed >= 1)
        cmbMod->setListIndex(reply.mode);
    if (reply.passed >= 2)
        cmbNewBaud->setListIndex(reply.baud);
    if (reply.passed >= 3)
        cmbNewBits->setListIndex(reply.dataBits - qm::kMinDataBits);
    if (reply.passed >= 4)
        cmbNewPar->setListIndex(reply.parity);
    if (reply.complete()) {
        cmbSA->setListIndex(reply.address - 1); // address 0 leaves no entry selected
        shpPort->setBackColor(indicator::kGreen);
    }
    Frame2->setEnabled(true);
}

void frmMain::cmdModifyComm_Click()
{
    if (exchangeWaiting())
        return;
    // Parity None with 7 data bits, the one framing the display cannot run.
    if (!qm::supportedFraming(cmbNewPar->listIndex(), cmbNewBits->listIndex() + qm::kMinDataBits)) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Invalid Combination"),
                        QStringLiteral("Parity: None & Bits: 7 not supported"), QMessageBox::Ok,
                        this);
        box.exec();
        return;
    }
    if (refuseMissingSelection({cmbMod, cmbNewBaud, cmbNewBits, cmbNewPar, cmbSA}))
        return;

    strCommand = QByteArray::fromStdString(qm::writeCommsCommand(
        cmbMod->listIndex(), cmbNewBaud->listIndex(), cmbNewBits->listIndex(),
        cmbNewPar->listIndex(), cmbSA->list(cmbSA->listIndex()).toStdString()));
    exchange();
}

void frmMain::cmdGet_Click()
{
    if (exchangeWaiting() || refuseMissingSelection({cmbBlock}))
        return;

    strCommand = QByteArray::fromStdString(qm::readBlockCommand(cmbBlock->listIndex()));
    if (!exchange())
        return;

    const qm::BlockReply reply = qm::judgeBlockReply(view(strResponse));
    if (reply.passed >= 1)
        cmbBlock->setListIndex(reply.block);
    if (reply.passed >= 2)
        cmbDT->setListIndex(reply.dataType);
    if (reply.passed >= 3)
        cmbDP->setListIndex(reply.decimalPoint);
}

void frmMain::cmdSet_Click()
{
    if (exchangeWaiting() || refuseMissingSelection({cmbBlock, cmbDT, cmbDP}))
        return;

    strCommand = QByteArray::fromStdString(
        qm::writeBlockCommand(cmbBlock->listIndex(), cmbDT->listIndex(), cmbDP->listIndex()));
    exchange();
}
