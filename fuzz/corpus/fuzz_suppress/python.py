for row in rows:
    db.query(row)  # tally-warden: ignore[n_plus_one]
    time.sleep(1)  # tally-warden: ignore
x = "# tally-warden: ignore"
