// The key file and the proofs.
#include "keys.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageAuthenticationCode>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace keys {

QString keyId(const QByteArray &secret) {
    return QString::fromLatin1(
        QCryptographicHash::hash(secret, QCryptographicHash::Sha256).toHex().left(8));
}

Key newKey() {
    QByteArray secret(kSecretLen, '\0');
    if (getrandom(secret.data(), size_t(secret.size()), 0) != ssize_t(secret.size())) {
        return Key();
    }
    return Key{keyId(secret), secret};
}

QByteArray keyLine(const Key &key) {
    return QByteArray(kLineWord) + ' ' + key.id.toLatin1() + ' ' + key.secret.toHex() + '\n';
}

QList<Key> parseKeys(const QByteArray &text, QStringList *problems) {
    QList<Key> found;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        const int comment = line.indexOf('#');
        if (comment >= 0) {
            line.truncate(comment);
        }
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() == 1 && words.first().isEmpty()) {
            continue;
        }
        const auto hex = [](const QByteArray &w, int len) {
            if (w.size() != len) {
                return false;
            }
            for (const char c : w) {
                if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
                    return false;
                }
            }
            return true;
        };
        QString why;
        if (words.size() != 3 || words.at(0) != kLineWord) {
            why = QStringLiteral("not \"%1 ID SECRET\"").arg(QLatin1String(kLineWord));
        } else if (!hex(words.at(1), 8) || !hex(words.at(2), kSecretLen * 2)) {
            why = QStringLiteral("the id takes 8 hexadecimal digits, the secret %1")
                      .arg(kSecretLen * 2);
        } else {
            const QByteArray secret = QByteArray::fromHex(words.at(2));
            const QString id = QString::fromLatin1(words.at(1)).toLower();
            if (keyId(secret) != id) {
                why = QStringLiteral("the id does not belong to the secret");
            } else {
                found.append(Key{id, secret});
                continue;
            }
        }
        if (problems != nullptr) {
            problems->append(QStringLiteral("line %1: %2").arg(i + 1).arg(why));
        }
    }
    return found;
}

bool readKeyFile(const QString &path, QList<Key> *keys, QString *error) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error =
            QStringLiteral("key file %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    struct stat st {};
    QByteArray text;
    const bool statted = fstat(fd, &st) == 0;
    if (statted && S_ISREG(st.st_mode) && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
        char buffer[4096];
        ssize_t n = 0;
        // A key file is a few lines; a larger one is no key file.
        while (text.size() < 65536 && (n = read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, int(n));
        }
    }
    close(fd);
    if (!statted || !S_ISREG(st.st_mode)) {
        *error = QStringLiteral("key file %1 is not a regular file").arg(path);
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        *error = QStringLiteral("key file %1 can be read or written by others than its owner "
                                "(mode %2): chmod 600 %1")
                     .arg(path)
                     .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    QStringList problems;
    *keys = parseKeys(text, &problems);
    if (keys->isEmpty()) {
        *error =
            QStringLiteral("key file %1 holds no valid key%2")
                .arg(path, problems.isEmpty()
                               ? QString()
                               : QStringLiteral(" (%1)").arg(problems.join(QStringLiteral("; "))));
        return false;
    }
    return true;
}

QByteArray proof(const QByteArray &secret, Purpose purpose, const QList<QByteArray> &parts) {
    static const char *const kPurposes[] = {"l2agent info", "l2agent reset", "l2agent ack"};
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, secret);
    const auto add = [&](const QByteArray &part) {
        const quint32 n = quint32(part.size());
        const char length[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
        mac.addData(length, 4);
        mac.addData(part);
    };
    add(QByteArray(kPurposes[int(purpose)]));
    for (const QByteArray &part : parts) {
        add(part);
    }
    return mac.result();
}

bool sameProof(const QByteArray &a, const QByteArray &b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char differ = 0;
    for (int i = 0; i < a.size(); ++i) {
        differ |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    }
    return differ == 0;
}

const Key *findKey(const QList<Key> &keys, const QString &id) {
    for (const Key &key : keys) {
        if (key.id == id) {
            return &key;
        }
    }
    return nullptr;
}

} // namespace keys

namespace keys {

namespace {

QString lineValue(const QList<QByteArray> &lines, const char *label) {
    const QByteArray prefix = QByteArray(label) + " : ";
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix)) {
            return QString::fromLatin1(line.mid(prefix.size()));
        }
    }
    return QString();
}

} // namespace

ResetAuth resetAuth(const QByteArray &text) {
    const QList<QByteArray> lines = text.split('\n');
    ResetAuth auth;
    auth.keyId = lineValue(lines, kKeyLabel);
    auth.challenge = lineValue(lines, kChallengeLabel);
    // Exactly one spelling: lower-case hexadecimal of the whole proof, so that no changed frame
    // passes for the one that was proven.
    const QByteArray hex = lineValue(lines, kProofLabel).toLatin1();
    bool lower = hex.size() == 64;
    for (const char c : hex) {
        lower = lower && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    auth.proof = lower ? QByteArray::fromHex(hex) : QByteArray(hex.isEmpty() ? 0 : 1, '?');
    return auth;
}

QByteArray authenticatedReset(const QByteArray &request, const Key &key, const QByteArray &boardMac,
                              const QByteArray &stationMac, const QString &challenge,
                              const QString &tag) {
    const QByteArray p = proof(key.secret, Purpose::Reset,
                               {boardMac, stationMac, challenge.toLatin1(), tag.toLatin1()});
    return request + '\n' + kKeyLabel + " : " + key.id.toLatin1() + '\n' + kChallengeLabel + " : " +
           challenge.toLatin1() + '\n' + kProofLabel + " : " + p.toHex() + '\n';
}

QByteArray proofLines(const QList<Key> &keys, Purpose purpose, const QList<QByteArray> &parts) {
    QByteArray lines;
    for (const Key &key : keys) {
        lines += QByteArray(kProofLabel) + " : " + key.id.toLatin1() + ' ' +
                 proof(key.secret, purpose, parts).toHex() + '\n';
    }
    return lines;
}

bool verified(const QList<Key> &keys, Purpose purpose, const QByteArray &text,
              const QList<QByteArray> &parts) {
    // What the proofs cover: the text before the first of them.
    const QByteArray prefix = QByteArray(kProofLabel) + " : ";
    const int first = text.startsWith(prefix) ? 0 : text.indexOf('\n' + prefix) + 1;
    if (first <= 0 && !text.startsWith(prefix)) {
        return false;
    }
    QList<QByteArray> covered = parts;
    covered.append(text.left(first));
    for (const QByteArray &line : text.mid(first).split('\n')) {
        const QList<QByteArray> words = line.mid(prefix.size()).split(' ');
        if (!line.startsWith(prefix) || words.size() != 2) {
            continue;
        }
        const Key *key = findKey(keys, QString::fromLatin1(words.at(0)));
        if (key != nullptr &&
            sameProof(proof(key->secret, purpose, covered), QByteArray::fromHex(words.at(1)))) {
            return true;
        }
    }
    return false;
}

} // namespace keys
