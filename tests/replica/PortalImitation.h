#pragma once

// The portal's contract search as a handler for a PortalReplica: search-result pages over a data
// set of contracts (date window, price band, page size, page number), the refusal pages of the
// contracts that have one, and their contract cards.

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <mutex>

#include "CardPages.h"
#include "PortalReplica.h"

namespace replica {

// One document in the attachment section of a refusal page.
struct RefusalDocument {
    QString title;     // a title with "об отмене" makes it a cancellation
    QString signedAt;  // as shown after "Подписано", e.g. "12.01.2026 14:35"
};

// One contract of the register.
struct ContractRecord {
    QString registryId;
    QDate concluded;
    qint64 price = 0;  // whole roubles
    // The query of the contract's refusal page ("reject-info.html?" + query); empty when the
    // contract has none and its entry carries no refusal link. Several contracts may share one.
    QString rejectQuery;
    QList<RefusalDocument> documents;  // the refusal page's documents, in page order
    // The href of the refusal page's registry-number cell; empty leaves the link out.
    QString contractLink;
    CardData card;
};

struct PortalDataSet {
    QList<ContractRecord> contracts;
};

// A contract with a card, a registry-number link to it and no refusal.
ContractRecord MakeContract(const QString& registryId, const QDate& concluded, qint64 price);
// Refusal documents as the portal titles them.
RefusalDocument CustomerRefusal(const QString& signedAt);
RefusalDocument SupplierRefusal(const QString& signedAt);
RefusalDocument RefusalCancellation(const QString& signedAt);
// Gives the contract a refusal page with these documents.
void AddRefusal(ContractRecord& contract, const QList<RefusalDocument>& documents);

// The small set most run tests share, concluded in January 2026: a contract with two refusals
// (12.01.2026 14:35 by the customer, 20.01.2026 09:10 by the supplier), one with a refusal of
// 14.01.2026 10:00 whose card has a postal-address column, and one without a refusal.
PortalDataSet ThreeRefusals();

// `count` contracts concluded between `from` and `to`, about `refusalPercent` of them with a
// refusal page (one document, two, or one with its cancellation). The same seed gives the same
// data set.
PortalDataSet MakePortalDataSet(int count, const QDate& from, const QDate& to, quint32 seed,
                                int refusalPercent = 20);

class PortalImitation {
public:
    static constexpr const char* kSearchPath = "/epz/contract/search/results.html";
    static constexpr const char* kRejectPath = "/epz/rdik/card/reject-info.html";
    static constexpr const char* kCardPath = "/epz/contract/contractCard/common-info.html";

    // How the portal fails the program, for the health tests. A TLS failure is the replica's
    // own: PortalReplica::Options with a protocol the client does not offer (TLS 1.3 only).
    enum class Mode {
        Normal,
        ChangedMarkup,   // search pages without the count block
        UnknownEntries,  // search pages that count records in entries of another markup
        EmptyRefusals,   // refusal pages without any document
        EmptyCards,      // contract cards without any of the row's fields
        BlockPage,       // every answer a 200 page that asks for a captcha
        ForbidAll,       // every answer 403
    };

    explicit PortalImitation(PortalDataSet data = {});

    void setMode(Mode mode);

    void setData(PortalDataSet data);
    PortalDataSet data() const;

    Response handle(const Request& request);
    // A handler that forwards to this imitation; it must outlive the server using it.
    Handler handler() {
        return [this](const Request& r) { return handle(r); };
    }

    // The search-result page for a query (the part of a URL after "?").
    QByteArray searchPage(const QByteArray& query) const;
    // The refusal page of the contracts whose rejectQuery is `query`; empty when there is none.
    QByteArray rejectPage(const QByteArray& query) const;

    // A search URL as an operator copies it from a browser into StartURL.txt: first page, ten
    // records, escaped commas and braces, dates of its own that the run replaces.
    static QString StartUrl(const QString& base);

private:
    Response normal(const Request& request);

    mutable std::mutex mutex_;
    PortalDataSet data_;
    Mode mode_ = Mode::Normal;
};

}  // namespace replica
