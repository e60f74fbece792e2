// The settings cipher, its key and the program's generator.
#include "core/Cipher.h"
#include "core/Random.h"
#include "support/doubles/FixedRandom.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <random>

namespace {
QByteArray Bytes(std::initializer_list<int> codes) {
    QByteArray out;
    for (int c : codes)
        out.append(char(c));
    return out;
}
} // namespace

class TestCipher final : public QObject {
    Q_OBJECT
private slots:
    void workedExamples_data() {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<int>("key");
        QTest::addColumn<QByteArray>("cipher");
        QTest::newRow("abc") << QByteArray("abc") << 5 << Bytes({5, 102, 200, 202});
        QTest::newRow("x") << QByteArray("x") << 200 << Bytes({200, 64});
        QTest::newRow("top codes") << Bytes({255, 255}) << 255 << Bytes({255, 254, 253});
        QTest::newRow("code 0, key 0") << Bytes({0}) << 0 << Bytes({0, 0});
        QTest::newRow("CR LF inside") << Bytes({13, 10}) << 0 << Bytes({0, 13, 23});
    }
    void workedExamples() {
        QFETCH(QByteArray, plain);
        QFETCH(int, key);
        QFETCH(QByteArray, cipher);
        QCOMPARE(EncodeText(plain, quint8(key)), cipher);
        QCOMPARE(DecodeText(cipher), std::optional<QByteArray>(plain));
    }

    void roundTripsForEveryKey() {
        std::mt19937 gen(1234);
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_int_distribution<int> length(1, 300);
        QByteArray all;
        for (int c = 0; c < 256; ++c)
            all.append(char(c));
        for (int key = 0; key < 256; ++key) {
            for (int round = 0; round < 8; ++round) {
                QByteArray plain = all;
                if (round > 0) {
                    plain = QByteArray(length(gen), '\0');
                    for (char& c : plain)
                        c = char(byte(gen));
                }
                const QByteArray cipher = EncodeText(plain, quint8(key));
                QCOMPARE(cipher.size(), plain.size() + 1);
                QCOMPARE(quint8(cipher[0]), quint8(key));
                const auto back = DecodeText(cipher);
                QVERIFY(back);
                if (*back != plain)
                    QFAIL(qPrintable(QString("key %1, round %2").arg(key).arg(round)));
            }
        }
    }

    void inputOutsideTheDesignGivesNoText() {
        QVERIFY(EncodeText({}, 3).isEmpty());
        QVERIFY(EncodeText(QByteArray(MaxPlainLength + 1, 'a'), 3).isEmpty());
        QCOMPARE(EncodeText(QByteArray(MaxPlainLength, 'a'), 3).size(), MaxCipherLength);

        QVERIFY(!DecodeText({}));
        QVERIFY(!DecodeText(QByteArray(1, 'k')));
        QVERIFY(!DecodeText(QByteArray(MaxCipherLength + 1, 'a')));
        QCOMPARE(DecodeText(QByteArray(MaxCipherLength, 'a'))->size(), MaxPlainLength);
        // Any other byte string deciphers to something: the loader decides whether it is
        // a settings text.
        QCOMPARE(DecodeText(Bytes({0, 255, 0, 255})),
                 std::optional<QByteArray>(Bytes({255, 1, 254})));
    }

    void keyIsTheFloorOfTheDrawTimes256() {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float largestBelowOne = std::nextafter(1.0f, 0.0f);
        FixedRandom random{0.0f, 5.0f / 256.0f, 0.5f, largestBelowOne, 1.0f, 7.0f, -0.25f, nan};
        for (int expected : {0, 5, 128, 255, 255, 255, 0, 0})
            QCOMPARE(int(DrawKey(random)), expected);
        QCOMPARE(random.draws, 8);

        for (int k = 0; k < 256; ++k) {
            FixedRandom one{FixedRandom::ForKey(k)};
            QCOMPARE(int(DrawKey(one)), k);
        }
    }

    void systemRandomStaysBelowOneAndReachesEveryKey() {
        SystemRandom random(99);
        SystemRandom same(99);
        QVector<int> seen(256, 0);
        for (int i = 0; i < 20000; ++i) {
            const float r = random.Next();
            QVERIFY(r >= 0.0f && r < 1.0f);
            QCOMPARE(same.Next(), r);
            FixedRandom fixed{r};
            ++seen[DrawKey(fixed)];
        }
        QVERIFY(!seen.contains(0));
    }
};

QTEST_GUILESS_MAIN(TestCipher)
#include "tst_cipher.moc"
