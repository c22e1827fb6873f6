"""A short demonstration of a host asking orvu_sdk_core for its decisions."""

import orvu_sdk_core as core


def main() -> None:
    print("orvu_sdk_core exports", len(core.__all__), "names")
    for code in (1000, 1006, None):
        terminal, window = core.classify_close(code)
        print(f"socket closed with {code!r}: {'give up' if terminal else 'reconnect'} (window {window})")
    for status in (403, 503):
        terminal, _ = core.classify_upgrade(status)
        print(f"upgrade refused with {status}: {'give up' if terminal else 'retry later'}")


if __name__ == "__main__":
    main()
