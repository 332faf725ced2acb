// The window's handlers for the display's Modbus settings and its value blocks:
// build the command, exchange it, judge the reply, apply the fields that passed.
#include "frmmain.h"

#include "combobox.h"
#include "commands.h"
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

// The values the lists select, one list per field of `fields`, in its order.
qm::FieldValues selectedValues(std::initializer_list<const ComboBox *> lists,
                               const qm::Fields &fields)
{
    qm::FieldValues values{};
    std::size_t i = 0;
    for (const ComboBox *list : lists) {
        values[i] = list->listIndex() + fields.at[i].listFirst;
        ++i;
    }
    return values;
}

// Selects in each list the value of its field, for the fields of `reply` that passed, in
// order; the lists from the first field that failed on keep their entry. A value without
// an entry (address 0) leaves its list with none selected.
void applyPassed(std::initializer_list<ComboBox *> lists, const qm::Fields &fields,
                 const qm::JudgedReply &reply)
{
    std::size_t i = 0;
    for (ComboBox *list : lists) {
        if (int(i) >= reply.passed)
            return;
        list->setListIndex(reply.values[i] - fields.at[i].listFirst);
        ++i;
    }
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
    applyPassed({cmbMod, cmbNewBaud, cmbNewBits, cmbNewPar, cmbSA}, qm::kCommsFields, reply);
    if (reply.complete())
        shpPort->setBackColor(indicator::kGreen);
    Frame2->setEnabled(true);
}

void frmMain::cmdModifyComm_Click()
{
    if (exchangeWaiting())
        return;
    const qm::CommsSettings comms = qm::commsSettingsOf(
        selectedValues({cmbMod, cmbNewBaud, cmbNewBits, cmbNewPar, cmbSA}, qm::kCommsFields));
    // Parity None with 7 data bits, the one framing the display cannot run.
    if (!qm::supportedFraming(comms.parity, comms.dataBits)) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Invalid Combination"),
                        QStringLiteral("Parity: None & Bits: 7 not supported"), QMessageBox::Ok,
                        this);
        box.exec();
        return;
    }
    if (refuseMissingSelection({cmbMod, cmbNewBaud, cmbNewBits, cmbNewPar, cmbSA}))
        return;

    strCommand = QByteArray::fromStdString(qm::writeCommsCommand(comms));
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
    applyPassed({cmbBlock, cmbDT, cmbDP}, qm::kBlockFields, reply);
}

void frmMain::cmdSet_Click()
{
    if (exchangeWaiting() || refuseMissingSelection({cmbBlock, cmbDT, cmbDP}))
        return;

    const qm::FieldValues block = selectedValues({cmbBlock, cmbDT, cmbDP}, qm::kBlockFields);
    strCommand =
        QByteArray::fromStdString(qm::writeBlockCommand(block[0], qm::blockSettingsOf(block)));
    exchange();
}
