#pragma once

#include <QByteArray>
#include <QString>

// A contract card ("common-info") page of the portal imitation, in the portal's markup.
struct CardData {
    QString registryId;
    QString subject;      // contract subject, HTML as the portal writes it
    QString customer;     // customer's full name, HTML
    QString supplier;     // supplier's name, HTML
    QString supplierInn;  // taxpayer number
    QString supplierAddress;
    QString postalAddress;  // empty: the participants table has no postal-address column
    QString price;          // as shown, e.g. "1\u00A0234\u00A0567,89"
    QString contactCell;    // the contact cell's inner HTML, e.g. "+7 900 000-00-00<br>a@b.ru"
};

QByteArray RenderCardPage(const CardData& card);
