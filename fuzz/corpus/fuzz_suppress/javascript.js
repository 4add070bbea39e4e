for (const u of users) {
  await fetch(u); // tally-warden: ignore[API_IN_LOOP, SLEEP_IN_LOOP]
  const s = `// tally-warden: ignore`;
  x(); // tally-warden:ignore [ a , , b ]
}
